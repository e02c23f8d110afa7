// kavri-control-plane: a local control-plane host over HTTPS on loopback.
//
//   kavri-control-plane [--port N] [--subscriptions DIR] [--write-deployment FILE]
//                       [--provision TOKEN]
//   kavri-control-plane --account SUBSCRIPTION [--account-token TOKEN]...
//                       [--pay-port N] [--downloads DIR] [--signing-identity DIR]
//                       [--port N] [--write-deployment FILE]
//
// Serves "GET /sub/<token>" from DIR/<token>.json (read on every request,
// sealed to the client's key when it sends one); with --provision, "POST
// /provision" issues TOKEN and "GET /status/TOKEN" answers a trial account
// (else provisioning answers 503).
//
// With --account it is the local backend of a whole account: every call of
// the app is answered from one in-memory model (see LocalAccount) that
// serves SUBSCRIPTION (the engine configuration with its "_kavri_meta") to
// every account, shaped by the account's location. --account-token makes an
// account for a token given from outside (kavri-tunnel's); the payment pages
// listen on --pay-port; "GET /dl/<file>" serves the files of --downloads; and
// --signing-identity writes into DIR a certificate and key ("signer.pem",
// "signer.key") of the deployment's team that chain to its code-signing
// root, for packing updates. "/admin/account" shows the accounts (GET) and
// sets a state (POST {"set": STATE, "token": optional}).
//
// Prints the deployment a client needs (hosts, server public key, CA bundle)
// as JSON, or writes it to FILE. Every request is logged with its path (tokens
// shortened), status and time. Runs until interrupted.
#include <signal.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>
#include <unistd.h>

#include "platform/runtime/log.h"
#include "testing/local_account.h"
#include "testing/payment_page.h"
#include "testing/test_control_plane.h"
#include "testing/test_pki.h"

using namespace kavri;

namespace {

int usage() {
    std::cerr << "usage: kavri-control-plane [--port N] [--subscriptions DIR] [--write-deployment FILE]"
                 " [--provision TOKEN]\n"
                 "       kavri-control-plane --account SUBSCRIPTION [--account-token TOKEN]... [--pay-port N]"
                 " [--downloads DIR] [--signing-identity DIR] [--port N] [--write-deployment FILE]\n";
    return 2;
}

bool portArgument(const char* text, int& port) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (*end != '\0' || value < 0 || value > 65535) return false;
    port = static_cast<int>(value);
    return true;
}

// A request path for the log: long segments (tokens) shortened.
std::string loggedPath(const std::string& path) {
    std::string out;
    std::size_t start = 0;
    while (start < path.size()) {
        std::size_t end = path.find('/', start + 1);
        if (end == std::string::npos) end = path.size();
        const std::string segment = path.substr(start, end - start);
        out += segment.size() > 13 ? segment.substr(0, 5) + "…" : segment;
        start = end;
    }
    return out;
}

std::string readFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return in ? text.str() : std::string();
}

bool writeAtomically(const std::filesystem::path& file, const std::string& text) {
    const auto temporary = file.string() + ".tmp-" + std::to_string(getpid());
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << text << '\n';
        if (!out.flush()) return false;
    }
    std::error_code error;
    std::filesystem::rename(temporary, file, error);
    return !error;
}

}  // namespace

int main(int argc, char** argv) {
    int port = 0;
    std::filesystem::path subscriptions = "testing/sample";
    std::string deploymentFile;
    std::string provisioned;
    int payPort = 0;
    std::filesystem::path accountFile, downloads, signingIdentity;
    std::vector<std::string> accountTokens;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) return usage();
        if (arg == "--port") {
            if (!portArgument(argv[++i], port)) return usage();
        } else if (arg == "--pay-port") {
            if (!portArgument(argv[++i], payPort)) return usage();
        } else if (arg == "--account") {
            accountFile = argv[++i];
        } else if (arg == "--account-token") {
            accountTokens.emplace_back(argv[++i]);
            if (accountTokens.back().empty()) return usage();
        } else if (arg == "--downloads") {
            downloads = argv[++i];
        } else if (arg == "--signing-identity") {
            signingIdentity = argv[++i];
        } else if (arg == "--subscriptions") {
            subscriptions = argv[++i];
        } else if (arg == "--write-deployment") {
            deploymentFile = argv[++i];
        } else if (arg == "--provision") {
            provisioned = argv[++i];
            if (provisioned.empty()) return usage();
        } else {
            return usage();
        }
    }
    if (accountFile.empty() && (!accountTokens.empty() || payPort || !downloads.empty() || !signingIdentity.empty()))
        return usage();
    if (!accountFile.empty() && !provisioned.empty()) return usage();
    std::optional<nlohmann::ordered_json> subscription;
    if (!accountFile.empty()) {
        subscription = nlohmann::ordered_json::parse(readFile(accountFile), nullptr, false);
        if (!subscription->is_object()) {
            Log::line("[Kavri] !! " + accountFile.string() + " holds no subscription (a JSON object)");
            return 1;
        }
    }

    // Every thread inherits the blocked signals; the main thread waits for them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    try {
        TestControlPlane plane(port);
        plane.setReplyLog([](const TestControlPlane::Request& r, int status, std::chrono::milliseconds took) {
            Log::line("[Kavri] " + r.method + " " + loggedPath(r.path) + " → " + std::to_string(status) + " in " +
                      std::to_string(took.count()) + " ms");
        });
        plane.setSubscriptionDirectory(std::filesystem::absolute(subscriptions));
        if (!provisioned.empty()) {
            plane.setProvisionedToken(provisioned);
            plane.setStatus(provisioned, R"({"state":"trial"})");
        }
        std::unique_ptr<LocalAccount> account;
        std::unique_ptr<PaymentPage> payments;
        if (subscription) {
            LocalAccount::Options options;
            options.subscription = std::move(*subscription);
            if (!downloads.empty()) options.downloads = std::filesystem::absolute(downloads);
            account = std::make_unique<LocalAccount>(plane, std::move(options));
            for (const auto& token : accountTokens) account->adopt(token);
            payments = std::make_unique<PaymentPage>(*account, payPort);
            account->setPaymentPages(payments->baseURL());
            Log::line("[Kavri] >> local account backend; payment pages on " + payments->baseURL());
        }
        if (!signingIdentity.empty()) {
            const auto signer = TestPki::shared().signingIdentity(plane.deployment().teamIdentifier);
            std::filesystem::create_directories(signingIdentity);
            for (const auto& [from, to] : {std::pair{signer.certFile, "signer.pem"}, {signer.keyFile, "signer.key"}})
                std::filesystem::copy_file(from, signingIdentity / to,
                                           std::filesystem::copy_options::overwrite_existing);
        }
        const std::string deployment = plane.deployment().toJson();
        if (deploymentFile.empty()) {
            std::cout << deployment << std::endl;
        } else if (!writeAtomically(deploymentFile, deployment)) {
            Log::line("[Kavri] !! cannot write the deployment to " + deploymentFile);
            return 1;
        }
        Log::line("[Kavri] >> control plane on " + plane.baseURL() + ", subscriptions from " +
                  std::filesystem::absolute(subscriptions).string());
        int received = 0;
        sigwait(&signals, &received);
        Log::line("[Kavri] control plane stopping");
    } catch (const std::exception& e) {
        Log::line(std::string("[Kavri] !! control plane: ") + e.what());
        return 1;
    }
    return 0;
}
