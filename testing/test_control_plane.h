#pragma once

#include <chrono>
#include <cstdint>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <string_view>
#include <thread>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/deployment.h"
#include "platform/http/http_session.h"
#include "testing/sealing_key.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace kavri {

class TlsFront;

// A control-plane host for tests and local runs: an HTTPS server on a
// loopback port (certificate from TestPki) that serves "sub/<token>" and any
// route a test adds, seals replies as the real server does, records every
// request with its headers in the order sent, and can be scripted to answer
// a status, hang, drop the connection or send bytes that are not HTTP.
class TestControlPlane {
public:
    struct Request {
        std::string method;
        std::string target;  // as sent: encoded path and query
        std::string path;    // decoded path, without the query
        HttpHeaders headers;  // as sent, in order
        std::string body;
        std::vector<std::string> matches;  // the route's captures ([0] = whole path)
        std::uint64_t order = 0;           // when it arrived, among the requests of every plane

        // "METHOD path", as a log line.
        std::string call() const { return method + " " + path; }

        std::optional<std::string> header(std::string_view name) const;
    };

    enum class Sealing {
        Sealed,    // with the plane's key
        Plain,     // never
        WrongKey,  // with a key the clients do not know
    };

    struct Reply {
        enum class Kind {
            Respond,  // status, headers and body
            Hang,     // no answer until the client gives up (or releaseHangs())
            Close,    // the connection drops without a reply
            NotHttp,  // the reply is bytes that are not HTTP
            CutBody,  // status, headers and half the body, then the connection drops
            Endless,  // status, headers and a body that never ends, until the client goes
        };
        Kind kind = Kind::Respond;
        int status = 200;
        HttpHeaders headers;
        std::string body;
        std::string contentType = "application/json";
        // Sealed to the request's key when the plane seals and the request
        // sent "X-Kavri-EphPub" and "X-Kavri-Nonce".
        bool sealable = false;
        // How this reply alone is sealed; the plane's setting when absent.
        std::optional<Sealing> sealing;

        static Reply withStatus(int status, std::string body = {});
        static Reply json(std::string body, int status = 200);
        static Reply hang();
        static Reply close();
        static Reply notHttp();
        static Reply cutBody(std::string body);
        static Reply endless();
        // A 200 reply sealed as the plane seals subscriptions, with these
        // extra headers ("Subscription-Userinfo", say).
        static Reply subscription(std::string body, HttpHeaders headers = {});
    };

    using Handler = std::function<Reply(const Request&)>;

    // Listens on 127.0.0.1:`port` (0: an ephemeral port).
    explicit TestControlPlane(int port = 0, const SealingKey& key = SealingKey::development());
    ~TestControlPlane();
    TestControlPlane(const TestControlPlane&) = delete;
    TestControlPlane& operator=(const TestControlPlane&) = delete;

    int port() const;
    std::string host() const;     // "127.0.0.1:<port>"
    std::string baseURL() const;  // "https://127.0.0.1:<port>"
    const SealingKey& sealingKey() const { return key_; }

    // Adds a route: `pathPattern` is a regular expression matched against the
    // whole decoded path. Routes added later take precedence.
    void route(std::string method, std::string pathPattern, Handler handler);

    // Subscriptions served by "GET /sub/<token>": the body as served (the
    // engine configuration with its "_kavri_meta" block). Unknown tokens get
    // 401. A directory, when set, is consulted for "<token>.json" on each
    // request that the in-memory list does not answer.
    void setSubscription(const std::string& token, std::string body);
    void setSubscription(const std::string& token, const nlohmann::ordered_json& body);
    void removeSubscription(const std::string& token);
    void setSubscriptionDirectory(std::filesystem::path directory);

    // "POST /provision" issues this token: 200 with a trial record. Until
    // one is set it answers 503.
    void setProvisionedToken(std::string token);
    // "GET /status/<token>" answers this body (200) for the token; an
    // unknown token gets 401.
    void setStatus(const std::string& token, std::string body);
    // "POST /pay/create" creates a payment for the token in its body when
    // the plan it names (if any) is one of `plans`: 200 with
    // "payment_url" "https://pay.test/<n>" and "payment_id" "<n>", n counting
    // from 1 on this plane. A plan not among them gets 400; an unknown token
    // 401.
    void setPaymentPlans(const std::string& token, std::vector<std::string> plans);
    // "GET /stack/<token>" answers this catalog body (200) for the token and
    // "POST /stack/<token>/select" answers 200 without a stack; an unknown
    // token gets 401 from both.
    void setCatalog(const std::string& token, std::string body);
    // "POST /devices/list" answers this body (200) for the token in its
    // body; an unknown token gets 401. "link/invite", "link/join",
    // "devices/detach" and "devices/remove" answer 404 unless scripted.
    void setDevices(const std::string& token, std::string body);

    // The next request whose path matches `pathPattern` (empty: any) gets
    // `reply` instead of its route's answer; replies queue up in order.
    void script(Reply reply, std::string pathPattern = {});
    // Every such request gets `reply` while no queued one applies.
    void scriptAlways(Reply reply, std::string pathPattern = {});
    void clearScript();
    void setSealing(Sealing sealing);
    // Lets hanging requests go (they answer 503).
    void releaseHangs();

    // Rule-set files served by "GET /rules/<file>"; a file never set
    // answers 404.
    enum class RuleFile {
        Valid,        // ruleFileBytes(file, revision)
        Short,        // 7 bytes beginning with "SRS"
        NotRuleSet,   // long enough, but not beginning with "SRS"
        ErrorStatus,  // status 500
        Hang,         // no answer until the client gives up (or releaseHangs())
    };
    void setRuleFile(const std::string& fileName, RuleFile kind, int revision = 1);
    // Serves exactly these bytes (status 200).
    void setRuleFile(const std::string& fileName, std::string bytes);
    // A valid rule-set file: "SRS", a version byte, then the file's name and
    // revision, so that two revisions differ.
    static std::string ruleFileBytes(const std::string& fileName, int revision = 1);

    // "GET <path>" answers these bytes (status 200): an update manifest, a
    // disk image.
    void serveFile(const std::string& path, std::string bytes,
                   std::string contentType = "application/octet-stream");

    // Every report that reached "POST /telemetry", in order (parsed; a
    // discarded value for a body that is not JSON). The route answers 200
    // unless scripted.
    std::vector<nlohmann::json> reports() const;

    // Told of every request once its reply is decided: the status (0 for a
    // reply that is no HTTP answer) and the time it took. Set it before the
    // plane is used.
    using ReplyLog = std::function<void(const Request&, int status, std::chrono::milliseconds took)>;
    void setReplyLog(ReplyLog log);

    std::vector<Request> requests() const;
    // The calls ("GET /status/<token>", ...) of every request but the
    // catalog fetches ("GET /stack/...") and the reports, which a shown
    // window makes on a rhythm of its own.
    std::vector<std::string> accountCalls() const;
    // Every request these planes received, in the order they arrived.
    static std::vector<Request> callLog(const std::vector<const TestControlPlane*>& planes);
    std::size_t requestCount() const;
    // Waits in real time until at least `n` requests were recorded.
    bool waitForRequests(std::size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;
    void clearRequests();

    // A deployment whose hosts are these planes in order, whose server key
    // is the first plane's, whose CA bundle and code-signing root are the
    // test CA and whose update manifest is the first plane's.
    static Deployment deploymentFor(const std::vector<const TestControlPlane*>& planes);
    Deployment deployment() const { return deploymentFor({this}); }

private:
    struct Route {
        std::string method;
        std::regex pattern;
        Handler handler;
    };
    struct Scripted {
        Reply reply;
        std::optional<std::regex> pattern;
    };

    void handle(const httplib::Request& in, httplib::Response& out);
    // Fills the request's captures; the scripted reply, or the handler to ask.
    std::variant<Reply, Handler> decide(Request& request);
    Reply subscription(const Request& request);
    Reply ruleFile(const Request& request);
    Reply provision();
    Reply status(const Request& request);
    Reply catalog(const Request& request, bool selection = false);
    Reply deviceList(const Request& request);
    Reply payment(const Request& request);
    // Holds the reply until a release after `generation` (the one its
    // request arrived in), the end of the server or the client's leaving.
    void hang(int backendPeerPort, std::uint64_t generation);

    SealingKey key_;
    SealingKey wrongKey_;
    std::unique_ptr<httplib::Server> backend_;
    std::thread backendThread_;
    std::unique_ptr<TlsFront> front_;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Route> routes_;
    std::map<std::string, std::string> subscriptions_;
    std::optional<std::filesystem::path> subscriptionDirectory_;
    std::map<std::string, Reply> ruleFiles_;
    std::optional<std::string> provisionedToken_;
    std::map<std::string, std::string> statuses_;
    std::map<std::string, std::string> catalogs_;
    std::map<std::string, std::string> deviceLists_;
    std::map<std::string, std::vector<std::string>> paymentPlans_;
    int payments_ = 0;
    std::deque<Scripted> queued_;
    std::vector<Scripted> always_;
    Sealing sealing_ = Sealing::Sealed;
    std::uint64_t hangGeneration_ = 0;
    bool stopping_ = false;
    std::vector<Request> requests_;
    ReplyLog replyLog_;
};

}  // namespace kavri
