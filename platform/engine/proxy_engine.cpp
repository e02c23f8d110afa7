#include "platform/engine/proxy_engine.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <thread>

#include "platform/engine/clash_controller.h"
#include "platform/engine/engine_error.h"
#include "platform/http/http_session.h"
#include "platform/net/byte_relay.h"
#include "platform/net/net_error.h"
#include "platform/net/proxy_request_head.h"
#include "platform/net/socks5.h"
#include "platform/net/tcp_listener.h"
#include "platform/runtime/log.h"
#include "platform/runtime/uuid.h"

namespace kavri {

// One served inbound: its listener and the threads of its clients. The tag
// may change on a reload that keeps the listener; it is read under the
// engine's mutex.
struct ProxyEngine::ServedInbound {
    std::string tag;
    std::string type;
    std::unique_ptr<TcpListener> pendingListener;  // until the server takes it
    std::unique_ptr<TcpServer> server;
    Endpoint address() const { return {server->listener().address(), server->listener().port()}; }
};

// Listeners and controller made ready for a configuration, not yet serving.
struct ProxyEngine::Prepared {
    struct Slot {
        std::string tag;
        std::string type;
        ServedInbound* keep = nullptr;          // a running listener that stays
        std::unique_ptr<ServedInbound> fresh;   // or a new one
    };
    std::vector<Slot> inbounds;  // in configuration order
    std::unique_ptr<ClashController> controller;
    bool keepController = false;
};

namespace {

using nlohmann::json;

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

// The outbound type as the clash controller names it.
std::string displayType(const std::string& type) {
    static const std::map<std::string, std::string> names = {
        {"direct", "Direct"},        {"block", "Block"},     {"dns", "DNS"},       {"http", "HTTP"},
        {"socks", "SOCKS"},          {"socks4", "SOCKS"},    {"selector", "Selector"}, {"urltest", "URLTest"},
        {"shadowsocks", "Shadowsocks"}, {"vmess", "VMess"},  {"trojan", "Trojan"}, {"vless", "VLESS"},
        {"hysteria", "Hysteria"},    {"hysteria2", "Hysteria2"}, {"tuic", "TUIC"}, {"wireguard", "WireGuard"},
    };
    const auto it = names.find(type);
    if (it != names.end()) return it->second;
    std::string out = type;
    if (!out.empty()) out[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(out[0])));
    return out;
}

// Served inbounds and the controller listen on loopback whatever the
// configuration says, so the stand-in never opens a proxy to the network.
std::string loopbackAddress(const std::string& listen) {
    if (Endpoint::isLoopbackAddress(listen) && listen.find(':') == std::string::npos) return listen;
    if (listen == "::1") return "::1";
    return "127.0.0.1";
}

void replyStatus(TcpSocket& client, int status, const std::string& reason, const std::string& detail = {}) {
    const std::string body = detail.empty() ? std::string() : detail + "\n";
    try {
        client.writeAll("HTTP/1.1 " + std::to_string(status) + " " + reason +
                        "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
                        "\r\nConnection: close\r\n\r\n" + body);
    } catch (const NetError&) {
    }
}

// Reads the reply head of an upstream HTTP proxy to CONNECT; returns the
// bytes that followed it.
std::string expectConnected(TcpSocket& upstream, const Endpoint& to) {
    std::string data;
    std::array<char, 4096> chunk{};
    for (;;) {
        const auto end = data.find("\r\n\r\n");
        if (end != std::string::npos) {
            const auto sp = data.find(' ');
            const int status = sp == std::string::npos ? 0 : std::atoi(data.c_str() + sp + 1);
            if (data.rfind("HTTP/", 0) != 0 || status < 200 || status > 299)
                throw NetError("the upstream proxy refused CONNECT " + to.text() + ": " +
                               data.substr(0, data.find("\r\n")));
            return data.substr(end + 4);
        }
        if (data.size() > ProxyRequestHead::maxSize) throw NetError("the upstream proxy sent an oversized reply");
        const std::size_t n = upstream.readSome(chunk.data(), chunk.size());
        if (n == 0) throw NetError("the upstream proxy closed the connection");
        data.append(chunk.data(), n);
    }
}

// A stream to `to` through a non-group outbound, and any bytes the far end
// already sent.
std::pair<TcpSocket, std::string> openStream(const EngineConfig::Outbound& leaf, const Endpoint& to,
                                             std::chrono::milliseconds timeout) {
    if (leaf.type == "direct") return {TcpSocket::connect(to, timeout), std::string()};
    TcpSocket upstream = TcpSocket::connect({leaf.server, leaf.serverPort}, timeout);
    if (leaf.type == "socks") {
        Socks5::connect(upstream, to);
        return {std::move(upstream), std::string()};
    }
    if (leaf.type == "http") {
        upstream.writeAll("CONNECT " + to.text() + " HTTP/1.1\r\nHost: " + to.text() + "\r\n\r\n");
        std::string early = expectConnected(upstream, to);
        return {std::move(upstream), std::move(early)};
    }
    throw NetError("the engine cannot speak " + leaf.type);
}

}  // namespace

ProxyEngine::ProxyEngine(EngineScript& script, Clock& clock, EngineSettings settings)
    : script_(script), clock_(clock), settings_(std::move(settings)) {}

ProxyEngine::~ProxyEngine() { stop(); }

void ProxyEngine::start(const std::string& configText) {
    std::lock_guard life(lifecycle_);
    {
        std::lock_guard lock(mutex_);
        if (started_) throw EngineError("the engine was already started");
    }
    auto config = std::make_shared<const EngineConfig>(EngineConfig::parse(configText));
    Prepared prepared = prepare(*config);
    logConfiguration(*config);
    {
        std::lock_guard lock(mutex_);
        started_ = running_ = true;
    }
    commit(std::move(prepared), std::move(config));
    std::string where;
    {
        std::lock_guard lock(mutex_);
        for (const auto& in : inbounds_)
            where += (where.empty() ? "" : ", ") + in->type + " \"" + in->tag + "\" on " + in->address().text();
        if (controller_) where += (where.empty() ? "" : ", ") + std::string("controller on ") + controller_->address().text();
    }
    Log::line("[engine] started" + (where.empty() ? std::string() : ": " + where));
}

void ProxyEngine::reload(const std::string& configText) {
    std::lock_guard life(lifecycle_);
    if (!running()) throw EngineError("the engine is not running");
    auto config = std::make_shared<const EngineConfig>(EngineConfig::parse(configText));
    Prepared prepared = prepare(*config);
    logConfiguration(*config);
    commit(std::move(prepared), std::move(config));
    Log::line("[engine] configuration reloaded");
}

void ProxyEngine::stop() {
    std::lock_guard life(lifecycle_);
    std::vector<std::unique_ptr<ServedInbound>> inbounds;
    std::unique_ptr<ClashController> controller;
    {
        std::lock_guard lock(mutex_);
        if (!running_) return;
        running_ = false;
        inbounds.swap(inbounds_);
        controller.swap(controller_);
    }
    stopSource_.request_stop();  // ends delay tests in flight
    if (controller) controller->stop();
    for (auto& in : inbounds) in->server->stop();
    table_.closeAll();
    Log::line("[engine] stopped");
}

bool ProxyEngine::running() const {
    std::lock_guard lock(mutex_);
    return running_;
}

ProxyEngine::Prepared ProxyEngine::prepare(const EngineConfig& config) {
    Prepared p;
    std::vector<ServedInbound*> existing;
    std::optional<Endpoint> currentController;
    {
        std::lock_guard lock(mutex_);
        for (auto& in : inbounds_) existing.push_back(in.get());
        if (controller_) currentController = controller_->address();
    }
    std::vector<ServedInbound*> claimed;
    auto claim = [&](auto&& match) -> ServedInbound* {
        for (ServedInbound* in : existing)
            if (std::find(claimed.begin(), claimed.end(), in) == claimed.end() && match(*in)) {
                claimed.push_back(in);
                return in;
            }
        return nullptr;
    };

    for (const auto& in : config.inbounds) {
        if (!in.served()) continue;
        const std::string address = loopbackAddress(in.listen);
        // A listener that stays: same tag and port (or any port), else same address.
        ServedInbound* keep = claim([&](const ServedInbound& s) {
            const Endpoint a = s.address();
            return s.tag == in.tag && a.host == address && (in.port == 0 || in.port == a.port);
        });
        if (!keep && in.port != 0)
            keep = claim([&](const ServedInbound& s) { return s.address() == Endpoint{address, in.port}; });
        Prepared::Slot slot{in.tag, in.type, keep, nullptr};
        if (!keep) {
            slot.fresh = std::make_unique<ServedInbound>();
            slot.fresh->tag = in.tag;
            slot.fresh->type = in.type;
            try {
                slot.fresh->pendingListener = std::make_unique<TcpListener>(address, in.port);
            } catch (const NetError& e) {
                throw EngineError("inbound \"" + in.tag + "\": " + e.what());
            }
        }
        p.inbounds.push_back(std::move(slot));
    }

    if (!config.controller.empty()) {
        auto wanted = Endpoint::parse(config.controller);
        if (!wanted) throw EngineError("clash_api.external_controller is not host:port: " + config.controller);
        wanted->host = wanted->host == "localhost" ? "127.0.0.1" : loopbackAddress(wanted->host);
        if (currentController && currentController->host == wanted->host &&
            (wanted->port == 0 || wanted->port == currentController->port)) {
            p.keepController = true;
        } else {
            p.controller = std::make_unique<ClashController>(*this, *wanted);
        }
    }
    return p;
}

void ProxyEngine::commit(Prepared p, std::shared_ptr<const EngineConfig> config) {
    std::vector<std::unique_ptr<ServedInbound>> retired;
    std::unique_ptr<ClashController> retiredController;
    std::vector<ServedInbound*> toStart;
    {
        std::lock_guard lock(mutex_);
        std::vector<std::unique_ptr<ServedInbound>> next;
        for (auto& slot : p.inbounds) {
            if (slot.keep) {
                for (auto& old : inbounds_)
                    if (old.get() == slot.keep) {
                        old->tag = slot.tag;
                        old->type = slot.type;
                        next.push_back(std::move(old));
                        break;
                    }
            } else {
                toStart.push_back(slot.fresh.get());
                next.push_back(std::move(slot.fresh));
            }
        }
        for (auto& old : inbounds_)
            if (old) retired.push_back(std::move(old));
        inbounds_ = std::move(next);
        if (!p.keepController) {
            retiredController = std::move(controller_);
            controller_ = std::move(p.controller);
        }
        config_ = std::move(config);
        resetGroupsLocked();
        for (auto it = history_.begin(); it != history_.end();)
            it = config_->outbound(it->first) ? std::next(it) : history_.erase(it);
        for (ServedInbound* slot : toStart)
            slot->server = std::make_unique<TcpServer>(std::move(slot->pendingListener),
                                                       [this, slot](TcpSocket client, std::stop_token stop) {
                                                           serveClient(*slot, std::move(client), stop);
                                                       });
    }
    if (!p.keepController && controller_) controller_->start();
    if (retiredController) retiredController->stop();
    for (auto& in : retired) in->server->stop();
}

void ProxyEngine::resetGroupsLocked() {
    now_.clear();
    for (const auto& o : config_->outbounds)
        if (o.isGroup()) now_[o.tag] = o.type == "selector" && !o.defaultMember.empty() ? o.defaultMember : o.members.front();
}

void ProxyEngine::logConfiguration(const EngineConfig& config) const {
    const auto unspoken = config.unspokenOutbounds();
    if (unspoken.empty()) return;
    std::string list;
    for (const auto& u : unspoken) list += (list.empty() ? "" : ", ") + u;
    Log::line("[engine] cannot speak " + list + ": these outbounds count as unreachable");
}

std::optional<Endpoint> ProxyEngine::inboundAddress(const std::string& tag) const {
    std::lock_guard lock(mutex_);
    for (const auto& in : inbounds_)
        if (in->tag == tag && in->server) return in->address();
    return std::nullopt;
}

std::optional<Endpoint> ProxyEngine::controllerAddress() const {
    std::lock_guard lock(mutex_);
    if (!controller_) return std::nullopt;
    return controller_->address();
}

std::string ProxyEngine::secret() const {
    std::lock_guard lock(mutex_);
    return config_ ? config_->secret : std::string();
}

std::optional<std::string> ProxyEngine::selected(const std::string& group) const {
    std::lock_guard lock(mutex_);
    const auto it = now_.find(group);
    if (it == now_.end()) return std::nullopt;
    return it->second;
}

ProxyEngine::SelectOutcome ProxyEngine::select(const std::string& group, const std::string& member) {
    std::lock_guard lock(mutex_);
    const auto* o = config_ ? config_->outbound(group) : nullptr;
    if (!o) return SelectOutcome::noSuchProxy;
    if (o->type != "selector") return SelectOutcome::notSelector;
    if (std::find(o->members.begin(), o->members.end(), member) == o->members.end())
        return SelectOutcome::noSuchMember;
    now_[group] = member;
    return SelectOutcome::selected;
}

json ProxyEngine::proxies() const {
    std::lock_guard lock(mutex_);
    json all = json::object();
    if (!config_) return {{"proxies", all}};
    for (const auto& o : config_->outbounds) {
        json entry = {{"type", displayType(o.type)}, {"name", o.tag}, {"udp", false}, {"history", json::array()}};
        const auto h = history_.find(o.tag);
        if (h != history_.end()) entry["history"].push_back(h->second);
        if (o.isGroup()) {
            entry["now"] = now_.at(o.tag);
            entry["all"] = o.members;
        }
        all[o.tag] = std::move(entry);
    }
    return {{"proxies", all}};
}

std::optional<json> ProxyEngine::proxy(const std::string& tag) const {
    json all = proxies()["proxies"];
    if (!all.contains(tag)) return std::nullopt;
    return all[tag];
}

std::optional<ProxyEngine::Route> ProxyEngine::resolve(const std::string& tag) const {
    std::lock_guard lock(mutex_);
    if (!config_) return std::nullopt;
    Route r;
    const EngineConfig::Outbound* o = config_->outbound(tag);
    if (!o) return std::nullopt;
    r.chains.push_back(o->tag);
    while (o->isGroup()) {  // the configuration has no group cycles
        o = config_->outbound(now_.at(o->tag));
        r.chains.push_back(o->tag);
    }
    r.leaf = *o;
    std::reverse(r.chains.begin(), r.chains.end());
    return r;
}

std::optional<ProxyEngine::Route> ProxyEngine::routeFor(const std::string& inboundTag) const {
    std::string tag, rule;
    {
        std::lock_guard lock(mutex_);
        if (!config_) return std::nullopt;
        std::tie(tag, rule) = config_->route(inboundTag);
    }
    auto r = resolve(tag);
    if (r) r->rule = rule;
    return r;
}

void ProxyEngine::serveClient(ServedInbound& slot, TcpSocket client, std::stop_token stop) {
    auto conn = std::make_shared<ProxiedConnection>(std::move(client));
    std::stop_callback onStop(stop, [conn] { conn->close(); });
    std::optional<ProxyRequestHead> head;
    try {
        head = ProxyRequestHead::read(conn->client());
    } catch (const NetError&) {
        return;
    }
    if (!head) return;
    const auto destination = head->destination();
    if (!destination) return replyStatus(conn->client(), 400, "Bad Request", "not a proxy request");

    std::string inboundTag, inboundType;
    {
        std::lock_guard lock(mutex_);
        inboundTag = slot.tag;
        inboundType = slot.type;
    }
    const auto route = routeFor(inboundTag);
    if (!route) return replyStatus(conn->client(), 503, "Service Unavailable");
    const EngineConfig::Outbound& leaf = route->leaf;
    if (leaf.refuses()) return replyStatus(conn->client(), 403, "Forbidden", "blocked by " + leaf.tag);

    ++dialsTotal_;
    std::string early;
    try {
        if (!leaf.spoken()) throw NetError("the engine cannot speak " + leaf.type + " (" + leaf.tag + ")");
        if (leaf.type == "http" && !head->isConnect()) {
            conn->setUpstream(TcpSocket::connect({leaf.server, leaf.serverPort}, settings_.dialTimeout));
        } else {
            auto [stream, bytes] = openStream(leaf, *destination, settings_.dialTimeout);
            conn->setUpstream(std::move(stream));
            early = std::move(bytes);
        }
    } catch (const NetError& e) {
        ++dialsFailed_;
        return replyStatus(conn->client(), 502, "Bad Gateway", e.what());
    }

    conn->id = lower(Uuid::make());
    conn->inboundTag = inboundTag;
    conn->inboundType = inboundType;
    conn->source = conn->client().peer();
    conn->destination = *destination;
    conn->chains = route->chains;
    conn->rule = route->rule;
    conn->start = clock_.wallNow();
    table_.add(conn);
    auto end = ByteRelay::End::upstreamEnded;
    try {
        if (head->isConnect()) {
            conn->client().writeAll("HTTP/1.1 200 Connection established\r\n\r\n");
            if (!early.empty()) {
                conn->client().writeAll(early);
                table_.countDownload(*conn, early.size());
            }
        }
        const std::string request = head->isConnect() ? head->body : head->forward(leaf.type == "http");
        bool sent = false;
        try {
            conn->upstream().writeAll(request);
            table_.countUpload(*conn, request.size());
            sent = true;
        } catch (const NetError&) {
        }
        if (sent) {
            ByteRelay::Hooks hooks;
            hooks.onUpload = [&](std::size_t n) { table_.countUpload(*conn, n); };
            hooks.onDownload = [&](std::size_t n) { table_.countDownload(*conn, n); };
            end = ByteRelay::run(conn->client(), conn->upstream(), hooks);
        }
        // An upstream that went away before any reply to a plain request is
        // a bad gateway, as with a member that could not be reached at all.
        if (end == ByteRelay::End::upstreamEnded && !head->isConnect() && conn->download == 0 && !conn->closed())
            replyStatus(conn->client(), 502, "Bad Gateway", "the outbound closed the connection without a reply");
    } catch (const NetError&) {
    }
    table_.remove(*conn);
}

ProxyEngine::DelayResult ProxyEngine::testThrough(const EngineConfig::Outbound& leaf, const std::string& url,
                                                  std::chrono::milliseconds timeout) {
    DelayResult result;
    if (!leaf.spoken() || leaf.refuses()) return result;
    HttpSessionConfig config;
    config.requestTimeout = timeout;
    config.resourceTimeout = timeout;
    const Endpoint server{leaf.server, leaf.serverPort};
    if (leaf.type == "http") config.proxy = "http://" + server.text();
    if (leaf.type == "socks") config.proxy = "socks5h://" + server.text();
    HttpRequest request;
    request.url = url;
    const auto started = std::chrono::steady_clock::now();
    try {
        HttpSession(config).send(request, stopSource_.get_token());
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
        result.delayMs = std::max<int>(1, static_cast<int>(ms.count()));
    } catch (const HttpError& e) {
        result.timedOut = e.kind() == HttpError::Kind::TimedOut;
    }
    return result;
}

void ProxyEngine::noteDelay(const std::string& tag, const DelayResult& result) {
    std::lock_guard lock(mutex_);
    if (result.delayMs)
        history_[tag] = {{"time", ConnectionTable::formatTime(clock_.wallNow())}, {"delay", *result.delayMs}};
    else
        history_.erase(tag);
}

std::optional<ProxyEngine::DelayResult> ProxyEngine::delayTest(const std::string& tag, const std::string& url,
                                                              std::chrono::milliseconds timeout) {
    const auto route = resolve(tag);
    if (!route) return std::nullopt;
    const DelayResult result = testThrough(route->leaf, url, timeout);
    for (const auto& t : route->chains) noteDelay(t, result);
    return result;
}

std::optional<std::map<std::string, int>> ProxyEngine::groupDelayTest(const std::string& group, const std::string& url,
                                                                     std::chrono::milliseconds timeout) {
    std::vector<std::string> members;
    std::string testURL = url;
    bool urltest = false;
    {
        std::lock_guard lock(mutex_);
        const auto* o = config_ ? config_->outbound(group) : nullptr;
        if (!o || !o->isGroup()) return std::nullopt;
        members = o->members;
        urltest = o->type == "urltest";
        if (testURL.empty()) testURL = o->testURL.empty() ? settings_.defaultTestURL : o->testURL;
    }
    std::vector<DelayResult> results(members.size());
    {
        std::vector<std::jthread> tests;
        for (std::size_t i = 0; i < members.size(); ++i)
            tests.emplace_back([&, i] {
                if (const auto route = resolve(members[i])) {
                    results[i] = testThrough(route->leaf, testURL, timeout);
                    for (const auto& t : route->chains) noteDelay(t, results[i]);
                }
            });
    }
    std::map<std::string, int> out;
    std::optional<std::size_t> fastest;
    for (std::size_t i = 0; i < members.size(); ++i) {
        out[members[i]] = results[i].delayMs.value_or(0);
        if (results[i].delayMs && (!fastest || *results[i].delayMs < *results[*fastest].delayMs)) fastest = i;
    }
    if (urltest && fastest) {
        std::lock_guard lock(mutex_);
        if (config_ && config_->outbound(group)) now_[group] = members[*fastest];
    }
    return out;
}

json ProxyEngine::connectionsJson() const {
    if (auto scripted = script_.connections()) return *scripted;
    return table_.toJson();
}

std::size_t ProxyEngine::closeAllConnections() {
    script_.noteCloseAll();
    return table_.closeAll();
}

bool ProxyEngine::closeConnection(const std::string& id) { return table_.close(id); }

json ProxyEngine::diag() const {
    if (auto scripted = script_.diag()) return *scripted;
    return {{"dials_total", dialsTotal_.load()},
            {"dials_fail_dial", dialsFailed_.load()},
            {"stall_dumps_pending", script_.pendingStallDumps()},
            {"conn_open", table_.size()}};
}

json ProxyEngine::nextStallDump() {
    if (auto dump = script_.popStallDump()) return *dump;
    return {{"empty", true}};
}

void ProxyEngine::setTunables(json tunables) { script_.noteTunables(std::move(tunables)); }

}  // namespace kavri
