#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kavri {

// Values that differ between the production service, a local run and the
// tests: the backend hosts, the server's sealing key, links. One place holds
// them; KAVRI_DEPLOYMENT names a JSON file that replaces the built-in ones,
// and tests install their own with Deployment::install().
struct Deployment {
    struct Host {
        std::string host;                    // name, optionally ":port"
        std::vector<std::string> pinnedIPs;  // IPv4, dotted decimal
    };

    std::vector<Host> hosts;      // the built-in host list, in order (4 in production)
    std::string apiBaseURL;       // the control plane's base address
    std::string serverPublicKey;  // base64 of the server's raw 32-byte X25519 key
    std::string teamIdentifier;  // the signer of the app's updates
    std::string supportURL;
    std::string botURL;
    std::string testflightURL;
    std::string otherDevicesURL;
    std::string privacyURL;
    std::string termsURL;
    std::string webBotURL;
    // File of trusted CA certificates for backend requests; empty for the
    // system's store.
    std::string caBundle;
    // File of the certificates (PEM) an update's code signature must chain
    // to; empty: none, so no update passes the assessment.
    std::string codeSigningRoots;
    // The update manifest on the distribution host, tried after the
    // control-plane hosts.
    std::string updateManifestURL;

    static Deployment builtIn();
    // Parses the JSON form; keys left out keep their built-in values.
    static std::optional<Deployment> fromJson(std::string_view text);
    std::string toJson() const;

    // The deployment in force: one installed by a test, else the file named
    // by KAVRI_DEPLOYMENT (when it parses), else the built-in one.
    static Deployment current();
    static void install(Deployment deployment);
};

}  // namespace kavri
