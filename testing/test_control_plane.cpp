#include "testing/test_control_plane.h"

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <mutex>
#include <sstream>

#include "platform/engine/http_server_tables.h"
#include "testing/test_pki.h"
#include "testing/tls_front.h"

namespace kavri {
namespace {

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

std::optional<std::regex> patternOf(const std::string& text) {
    if (text.empty()) return std::nullopt;
    return std::regex(text);
}

bool applies(const std::optional<std::regex>& pattern, const std::string& path) {
    return !pattern || std::regex_match(path, *pattern);
}

// A token names a file only when it cannot leave the directory.
bool usableFileName(const std::string& token) {
    return !token.empty() && token.front() != '.' && token.find('/') == std::string::npos &&
           token.find('\0') == std::string::npos;
}

// Orders the requests of every plane of the process.
std::atomic<std::uint64_t> arrivals{0};

}  // namespace

std::optional<std::string> TestControlPlane::Request::header(std::string_view name) const {
    for (const auto& [n, v] : headers)
        if (equalsIgnoreCase(n, name)) return v;
    return std::nullopt;
}

TestControlPlane::Reply TestControlPlane::Reply::withStatus(int status, std::string body) {
    Reply r;
    r.status = status;
    r.body = std::move(body);
    return r;
}

TestControlPlane::Reply TestControlPlane::Reply::json(std::string body, int status) {
    return withStatus(status, std::move(body));
}

TestControlPlane::Reply TestControlPlane::Reply::hang() {
    Reply r;
    r.kind = Kind::Hang;
    return r;
}

TestControlPlane::Reply TestControlPlane::Reply::close() {
    Reply r;
    r.kind = Kind::Close;
    return r;
}

TestControlPlane::Reply TestControlPlane::Reply::notHttp() {
    Reply r;
    r.kind = Kind::NotHttp;
    return r;
}

TestControlPlane::Reply TestControlPlane::Reply::cutBody(std::string body) {
    Reply r = json(std::move(body));
    r.kind = Kind::CutBody;
    return r;
}

TestControlPlane::Reply TestControlPlane::Reply::endless() {
    Reply r;
    r.kind = Kind::Endless;
    r.contentType = "application/octet-stream";
    return r;
}

TestControlPlane::Reply TestControlPlane::Reply::subscription(std::string body, HttpHeaders headers) {
    Reply r = json(std::move(body));
    r.sealable = true;
    r.headers = std::move(headers);
    return r;
}

TestControlPlane::TestControlPlane(int port, const SealingKey& key)
    : key_(key), wrongKey_(SealingKey::generate()), backend_(std::make_unique<httplib::Server>()) {
    buildHttpServerTables();
    auto handler = [this](const httplib::Request& in, httplib::Response& out) { handle(in, out); };
    backend_->Get(".*", handler);
    backend_->Post(".*", handler);
    backend_->Put(".*", handler);
    backend_->Patch(".*", handler);
    backend_->Delete(".*", handler);
    backend_->Options(".*", handler);
    route("GET", "/sub/(.+)", [this](const Request& r) { return subscription(r); });
    route("GET", "/rules/(.+)", [this](const Request& r) { return ruleFile(r); });
    route("POST", "/telemetry", [](const Request&) { return Reply::withStatus(200); });
    route("POST", "/provision", [this](const Request&) { return provision(); });
    route("GET", "/status/(.+)", [this](const Request& r) { return status(r); });
    route("GET", "/stack/([^/]+)", [this](const Request& r) { return catalog(r); });
    route("POST", "/stack/([^/]+)/select", [this](const Request& r) { return catalog(r, true); });
    // Device linking answers what a test scripts; unscripted, a code is unknown.
    for (const char* path : {"/link/invite", "/link/join", "/devices/detach", "/devices/remove"})
        route("POST", path, [](const Request&) { return Reply::json(R"({"error":"not_found"})", 404); });
    route("POST", "/devices/list", [this](const Request& r) { return deviceList(r); });
    route("POST", "/pay/create", [this](const Request& r) { return payment(r); });

    const int backendPort = backend_->bind_to_any_port("127.0.0.1");
    backendThread_ = std::thread([this] { backend_->listen_after_bind(); });
    while (!backend_->is_running()) std::this_thread::yield();

    try {
        const TestPki& pki = TestPki::shared();
        front_ = std::make_unique<TlsFront>(pki.certFile(), pki.keyFile(), backendPort, port);
    } catch (...) {  // a taken port: nothing may be left running
        backend_->stop();
        backendThread_.join();
        throw;
    }
    front_->onConnectionEnd([this] {
        std::lock_guard lock(mutex_);
        changed_.notify_all();
    });
}

TestControlPlane::~TestControlPlane() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    // Dropping the connections first lets the backend's workers finish at
    // once; the front stays alive until no handler can reach it.
    front_->stop();
    backend_->stop();
    backendThread_.join();
    front_.reset();
}

int TestControlPlane::port() const { return front_->port(); }
std::string TestControlPlane::host() const { return "127.0.0.1:" + std::to_string(port()); }
std::string TestControlPlane::baseURL() const { return "https://" + host(); }

void TestControlPlane::route(std::string method, std::string pathPattern, Handler handler) {
    std::lock_guard lock(mutex_);
    routes_.push_back(Route{std::move(method), std::regex(pathPattern), std::move(handler)});
}

void TestControlPlane::setSubscription(const std::string& token, std::string body) {
    std::lock_guard lock(mutex_);
    subscriptions_[token] = std::move(body);
}

void TestControlPlane::setSubscription(const std::string& token, const nlohmann::ordered_json& body) {
    setSubscription(token, body.dump());
}

void TestControlPlane::removeSubscription(const std::string& token) {
    std::lock_guard lock(mutex_);
    subscriptions_.erase(token);
}

void TestControlPlane::setSubscriptionDirectory(std::filesystem::path directory) {
    std::lock_guard lock(mutex_);
    subscriptionDirectory_ = std::move(directory);
}

void TestControlPlane::setProvisionedToken(std::string token) {
    std::lock_guard lock(mutex_);
    provisionedToken_ = std::move(token);
}

void TestControlPlane::setStatus(const std::string& token, std::string body) {
    std::lock_guard lock(mutex_);
    statuses_[token] = std::move(body);
}

void TestControlPlane::setCatalog(const std::string& token, std::string body) {
    std::lock_guard lock(mutex_);
    catalogs_[token] = std::move(body);
}

TestControlPlane::Reply TestControlPlane::catalog(const Request& request, bool selection) {
    std::lock_guard lock(mutex_);
    const auto it = catalogs_.find(request.matches.at(1));
    if (it == catalogs_.end()) return Reply::json(R"({"error":"unauthorized"})", 401);
    return Reply::json(selection ? R"({"error":null,"stack":null})" : it->second);
}

void TestControlPlane::setDevices(const std::string& token, std::string body) {
    std::lock_guard lock(mutex_);
    deviceLists_[token] = std::move(body);
}

TestControlPlane::Reply TestControlPlane::deviceList(const Request& request) {
    const auto body = nlohmann::json::parse(request.body, nullptr, false);
    const auto token = body.is_object() && body.contains("token") && body["token"].is_string()
                           ? body["token"].get<std::string>()
                           : std::string();
    std::lock_guard lock(mutex_);
    const auto it = deviceLists_.find(token);
    if (it == deviceLists_.end()) return Reply::json(R"({"error":"unauthorized"})", 401);
    return Reply::json(it->second);
}

TestControlPlane::Reply TestControlPlane::provision() {
    std::lock_guard lock(mutex_);
    if (!provisionedToken_) return Reply::json(R"({"error":"not provisioning"})", 503);
    const nlohmann::ordered_json body = {
        {"id", 1}, {"sub_token", *provisionedToken_}, {"is_trial", true}, {"plan", "trial"}, {"is_active", true}};
    return Reply::json(body.dump());
}

void TestControlPlane::setPaymentPlans(const std::string& token, std::vector<std::string> plans) {
    std::lock_guard lock(mutex_);
    paymentPlans_[token] = std::move(plans);
}

TestControlPlane::Reply TestControlPlane::payment(const Request& request) {
    const auto body = nlohmann::json::parse(request.body, nullptr, false);
    if (!body.is_object() || !body.contains("sub_token") || !body["sub_token"].is_string())
        return Reply::json(R"({"error":"bad_request"})", 422);
    std::lock_guard lock(mutex_);
    const auto it = paymentPlans_.find(body["sub_token"].get<std::string>());
    if (it == paymentPlans_.end()) return Reply::json(R"({"error":"unauthorized"})", 401);
    if (body.contains("plan")) {
        const auto& plans = it->second;
        if (!body["plan"].is_string() ||
            std::find(plans.begin(), plans.end(), body["plan"].get<std::string>()) == plans.end())
            return Reply::json(R"({"error":"unknown_plan"})", 400);
    }
    const std::string id = std::to_string(++payments_);
    return Reply::json(nlohmann::ordered_json{{"payment_url", "https://pay.test/" + id}, {"payment_id", id}}.dump());
}

TestControlPlane::Reply TestControlPlane::status(const Request& request) {
    std::lock_guard lock(mutex_);
    const auto it = statuses_.find(request.matches.at(1));
    if (it == statuses_.end()) return Reply::json(R"({"error":"unauthorized"})", 401);
    return Reply::json(it->second);
}

void TestControlPlane::script(Reply reply, std::string pathPattern) {
    std::lock_guard lock(mutex_);
    queued_.push_back(Scripted{std::move(reply), patternOf(pathPattern)});
}

void TestControlPlane::scriptAlways(Reply reply, std::string pathPattern) {
    std::lock_guard lock(mutex_);
    always_.push_back(Scripted{std::move(reply), patternOf(pathPattern)});
}

void TestControlPlane::clearScript() {
    std::lock_guard lock(mutex_);
    queued_.clear();
    always_.clear();
}

void TestControlPlane::setSealing(Sealing sealing) {
    std::lock_guard lock(mutex_);
    sealing_ = sealing;
}

void TestControlPlane::releaseHangs() {
    {
        std::lock_guard lock(mutex_);
        ++hangGeneration_;
    }
    changed_.notify_all();
}

std::string TestControlPlane::ruleFileBytes(const std::string& fileName, int revision) {
    return std::string("SRS\x01", 4) + fileName + " revision " + std::to_string(revision) + "\n";
}

void TestControlPlane::setRuleFile(const std::string& fileName, RuleFile kind, int revision) {
    Reply reply;
    switch (kind) {
        case RuleFile::Valid: reply = Reply::withStatus(200, ruleFileBytes(fileName, revision)); break;
        case RuleFile::Short: reply = Reply::withStatus(200, std::string("SRS\x01\x02\x03\x04", 7)); break;
        case RuleFile::NotRuleSet: reply = Reply::withStatus(200, "<html>not a rule set</html>"); break;
        case RuleFile::ErrorStatus: reply = Reply::withStatus(500, "internal error"); break;
        case RuleFile::Hang: reply = Reply::hang(); break;
    }
    reply.contentType = "application/octet-stream";
    std::lock_guard lock(mutex_);
    ruleFiles_[fileName] = std::move(reply);
}

void TestControlPlane::setRuleFile(const std::string& fileName, std::string bytes) {
    Reply reply = Reply::withStatus(200, std::move(bytes));
    reply.contentType = "application/octet-stream";
    std::lock_guard lock(mutex_);
    ruleFiles_[fileName] = std::move(reply);
}

TestControlPlane::Reply TestControlPlane::ruleFile(const Request& request) {
    std::lock_guard lock(mutex_);
    const auto it = ruleFiles_.find(request.matches.at(1));
    if (it == ruleFiles_.end()) return Reply::json(R"({"error":"not found"})", 404);
    return it->second;
}

std::vector<nlohmann::json> TestControlPlane::reports() const {
    std::vector<nlohmann::json> out;
    for (const auto& r : requests())
        if (r.method == "POST" && r.path == "/telemetry") out.push_back(nlohmann::json::parse(r.body, nullptr, false));
    return out;
}

std::vector<TestControlPlane::Request> TestControlPlane::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::vector<std::string> TestControlPlane::accountCalls() const {
    std::vector<std::string> out;
    for (const auto& r : requests()) {
        std::string call = r.call();
        if (!call.starts_with("GET /stack/") && call != "POST /telemetry") out.push_back(std::move(call));
    }
    return out;
}

std::vector<TestControlPlane::Request> TestControlPlane::callLog(const std::vector<const TestControlPlane*>& planes) {
    std::vector<Request> all;
    for (const auto* plane : planes) {
        auto some = plane->requests();
        all.insert(all.end(), std::make_move_iterator(some.begin()), std::make_move_iterator(some.end()));
    }
    std::sort(all.begin(), all.end(), [](const Request& a, const Request& b) { return a.order < b.order; });
    return all;
}

std::size_t TestControlPlane::requestCount() const {
    std::lock_guard lock(mutex_);
    return requests_.size();
}

bool TestControlPlane::waitForRequests(std::size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return requests_.size() >= n; });
}

void TestControlPlane::clearRequests() {
    std::lock_guard lock(mutex_);
    requests_.clear();
}

void TestControlPlane::serveFile(const std::string& path, std::string bytes, std::string contentType) {
    route("GET", std::regex_replace(path, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)"),
          [bytes = std::move(bytes), contentType = std::move(contentType)](const Request&) {
              Reply reply = Reply::withStatus(200, bytes);
              reply.contentType = contentType;
              return reply;
          });
}

Deployment TestControlPlane::deploymentFor(const std::vector<const TestControlPlane*>& planes) {
    Deployment d = Deployment::builtIn();
    d.hosts.clear();
    for (const auto* p : planes) d.hosts.push_back({p->host(), {}});
    if (!planes.empty()) {
        d.apiBaseURL = planes.front()->baseURL();
        d.serverPublicKey = planes.front()->sealingKey().publicKeyBase64();
    }
    d.caBundle = TestPki::shared().caFile();
    d.codeSigningRoots = TestPki::shared().caFile();
    if (!planes.empty()) d.updateManifestURL = planes.front()->baseURL() + "/dl/latest.json";
    return d;
}

std::variant<TestControlPlane::Reply, TestControlPlane::Handler> TestControlPlane::decide(Request& request) {
    // Called with mutex_ held.
    for (auto it = queued_.begin(); it != queued_.end(); ++it) {
        if (applies(it->pattern, request.path)) {
            Reply reply = std::move(it->reply);
            queued_.erase(it);
            return reply;
        }
    }
    for (auto it = always_.rbegin(); it != always_.rend(); ++it)
        if (applies(it->pattern, request.path)) return it->reply;
    for (auto it = routes_.rbegin(); it != routes_.rend(); ++it) {
        std::smatch m;
        if (it->method != request.method || !std::regex_match(request.path, m, it->pattern)) continue;
        for (const auto& group : m) request.matches.push_back(group.str());
        return it->handler;
    }
    return Reply::json(R"({"error":"not found"})", 404);
}

void TestControlPlane::setReplyLog(ReplyLog log) {
    std::lock_guard lock(mutex_);
    replyLog_ = std::move(log);
}

void TestControlPlane::handle(const httplib::Request& in, httplib::Response& out) {
    const auto started = std::chrono::steady_clock::now();
    Request request;
    request.method = in.method;
    request.path = in.path;
    request.body = in.body;
    if (auto head = front_->takeHead(in.remote_port)) {
        request.target = std::move(head->target);
        request.headers = std::move(head->headers);
    } else {  // not parsed on the way in: the order is lost
        request.target = in.target;
        for (const auto& [name, value] : in.headers) request.headers.emplace_back(name, value);
    }

    std::variant<Reply, Handler> decision;
    Sealing sealing;
    std::uint64_t hangGeneration = 0;
    {
        std::lock_guard lock(mutex_);
        decision = decide(request);
        sealing = sealing_;
        request.order = ++arrivals;
        requests_.push_back(request);
        // Taken with the request's arrival: a release that follows what a
        // test saw arrive lets it go, however late this thread gets to hang.
        hangGeneration = hangGeneration_;
    }
    changed_.notify_all();
    Reply reply = std::holds_alternative<Reply>(decision) ? std::get<Reply>(std::move(decision))
                                                         : std::get<Handler>(decision)(request);
    if (reply.sealing) sealing = *reply.sealing;
    ReplyLog replyLog;
    {
        std::lock_guard lock(mutex_);
        replyLog = replyLog_;
    }
    if (replyLog)
        replyLog(request, reply.kind == Reply::Kind::Respond || reply.kind == Reply::Kind::CutBody ? reply.status : 0,
                 std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started));

    switch (reply.kind) {
        case Reply::Kind::Hang:
            hang(in.remote_port, hangGeneration);
            out.status = 503;
            return;
        case Reply::Kind::Close:
            front_->endConnection(in.remote_port, TlsFront::Ending::Close);
            out.status = 200;
            out.set_header("Connection", "close");
            return;
        case Reply::Kind::NotHttp:
            front_->endConnection(in.remote_port, TlsFront::Ending::NotHttp);
            out.status = 200;
            out.set_header("Connection", "close");
            return;
        case Reply::Kind::CutBody:
            front_->endConnection(in.remote_port, TlsFront::Ending::CutBody);
            break;
        case Reply::Kind::Endless: {
            out.status = reply.status;
            for (const auto& [name, value] : reply.headers) out.set_header(name, value);
            const int peer = in.remote_port;
            out.set_chunked_content_provider(reply.contentType, [this, peer](std::size_t, httplib::DataSink& sink) {
                static const std::string block(64 << 10, 'K');
                {
                    std::lock_guard lock(mutex_);
                    if (stopping_) return false;
                }
                return front_->connectionOpen(peer) && sink.write(block.data(), block.size());
            });
            return;
        }
        case Reply::Kind::Respond:
            break;
    }

    if (reply.sealable && sealing != Sealing::Plain) {
        const auto ephPub = request.header("X-Kavri-EphPub");
        const auto nonce = request.header("X-Kavri-Nonce");
        if (ephPub && nonce) {
            const SealingKey& key = sealing == Sealing::WrongKey ? wrongKey_ : key_;
            if (auto sealed = key.seal(reply.body, *ephPub, *nonce)) {
                reply.body = std::move(*sealed);
                reply.contentType = "application/octet-stream";
                reply.headers.emplace_back("X-Kavri-Enc", "1");
            }
        }
    }
    out.status = reply.status;
    for (const auto& [name, value] : reply.headers) out.set_header(name, value);
    if (!reply.body.empty()) out.set_content(reply.body, reply.contentType);
}

void TestControlPlane::hang(int backendPeerPort, std::uint64_t generation) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] {
        return stopping_ || hangGeneration_ != generation || !front_->connectionOpen(backendPeerPort);
    });
}

TestControlPlane::Reply TestControlPlane::subscription(const Request& request) {
    const std::string& token = request.matches.at(1);
    std::optional<std::string> body;
    std::optional<std::filesystem::path> directory;
    {
        std::lock_guard lock(mutex_);
        if (auto it = subscriptions_.find(token); it != subscriptions_.end()) body = it->second;
        directory = subscriptionDirectory_;
    }
    if (!body && directory && usableFileName(token)) {
        std::ifstream file(*directory / (token + ".json"), std::ios::binary);
        if (file) {
            std::stringstream text;
            text << file.rdbuf();
            body = text.str();
        }
    }
    if (!body) return Reply::json(R"({"error":"unauthorized"})", 401);
    Reply reply = Reply::json(std::move(*body));
    reply.sealable = true;
    return reply;
}

}  // namespace kavri
