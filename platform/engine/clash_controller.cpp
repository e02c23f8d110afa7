#include "platform/engine/clash_controller.h"

#include <httplib.h>
#include <sys/socket.h>

#include <atomic>
#include <charconv>
#include <chrono>
#include <thread>

#include "platform/engine/engine_error.h"
#include "platform/engine/proxy_engine.h"
#include "platform/net/net_error.h"
#include "platform/engine/http_server_tables.h"
#include "platform/net/tcp_listener.h"

namespace kavri {
namespace {

using nlohmann::json;

void reply(httplib::Response& res, int status, const json& body) {
    res.status = status;
    res.set_content(body.dump(), "application/json");
}

void message(httplib::Response& res, int status, const std::string& text) { reply(res, status, {{"message", text}}); }

// The "timeout" query in milliseconds: 1 to 65535, as clash takes it.
std::optional<std::chrono::milliseconds> timeoutParam(const httplib::Request& req) {
    if (!req.has_param("timeout")) return std::nullopt;
    const std::string text = req.get_param_value("timeout");
    int value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < 1 || value > 65535) return std::nullopt;
    return std::chrono::milliseconds(value);
}

}  // namespace

ClashController::ClashController(ProxyEngine& engine, const Endpoint& address)
    : engine_(engine), address_(address), server_(std::make_unique<httplib::Server>()) {
    // Address reuse only: the library's default also shares the port with
    // any other listener that asks to (SO_REUSEPORT), so a second controller
    // would start silently on a taken port.
    server_->set_socket_options([](int sock) {
        const int one = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    });
    // One request per connection: the library waits for a further request
    // on a kept-alive connection by polling.
    server_->set_keep_alive_max_count(1);
    bool bound;
    if (address.port == 0) {
        const int port = server_->bind_to_any_port(address.host);
        bound = port > 0;
        if (bound) address_.port = static_cast<std::uint16_t>(port);
    } else {
        bound = server_->bind_to_port(address.host, address.port);
    }
    if (!bound) {
        // Learn why from a plain bind of the same address.
        std::string why = address.text() + ": cannot listen";
        try {
            TcpListener probe(address.host, address.port);
        } catch (const NetError& e) {
            why = e.what();
        }
        throw EngineError("controller " + why);
    }
    route();
}

ClashController::~ClashController() { stop(); }

void ClashController::start() {
    buildHttpServerTables();  // before this server's threads start
    auto finished = std::make_shared<std::atomic<bool>>(false);
    thread_ = std::thread([this, finished] {
        server_->listen_after_bind();
        *finished = true;
    });
    // stop() only takes effect once the server runs.
    while (!server_->is_running() && !*finished) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void ClashController::stop() {
    if (!thread_.joinable()) return;
    server_->stop();
    thread_.join();
}

void ClashController::route() {
    httplib::Server& s = *server_;
    ProxyEngine& engine = engine_;

    s.set_pre_routing_handler([&engine](const httplib::Request& req, httplib::Response& res) {
        const std::string secret = engine.secret();
        if (secret.empty() || req.get_header_value("Authorization") == "Bearer " + secret)
            return httplib::Server::HandlerResponse::Unhandled;
        message(res, 401, "Unauthorized");
        return httplib::Server::HandlerResponse::Handled;
    });

    s.Get("/", [](const httplib::Request&, httplib::Response& res) { reply(res, 200, {{"hello", "clash"}}); });

    s.Get("/proxies", [&engine](const httplib::Request&, httplib::Response& res) { reply(res, 200, engine.proxies()); });

    s.Get(R"(/proxies/(.+)/delay)", [&engine](const httplib::Request& req, httplib::Response& res) {
        const auto timeout = timeoutParam(req);
        if (!timeout || !req.has_param("url") || req.get_param_value("url").empty())
            return message(res, 400, "Body invalid");
        const auto result = engine.delayTest(req.matches[1], req.get_param_value("url"), *timeout);
        if (!result) return message(res, 404, "Resource not found");
        if (result->delayMs) return reply(res, 200, {{"delay", *result->delayMs}});
        if (result->timedOut) return message(res, 504, "Timeout");
        message(res, 503, "An error occurred in the delay test");
    });

    s.Get(R"(/proxies/(.+))", [&engine](const httplib::Request& req, httplib::Response& res) {
        const auto proxy = engine.proxy(req.matches[1]);
        if (!proxy) return message(res, 404, "Resource not found");
        reply(res, 200, *proxy);
    });

    s.Put(R"(/proxies/(.+))", [&engine](const httplib::Request& req, httplib::Response& res) {
        const json body = json::parse(req.body, nullptr, false);
        if (!body.is_object() || !body.contains("name") || !body["name"].is_string())
            return message(res, 400, "Body invalid");
        switch (engine.select(req.matches[1], body["name"].get<std::string>())) {
            case ProxyEngine::SelectOutcome::selected: res.status = 204; return;
            case ProxyEngine::SelectOutcome::noSuchProxy: return message(res, 404, "Resource not found");
            case ProxyEngine::SelectOutcome::notSelector: return message(res, 400, "Must be a Selector");
            case ProxyEngine::SelectOutcome::noSuchMember:
                return message(res, 400, "Selector update error: not found");
        }
    });

    s.Get(R"(/group/(.+)/delay)", [&engine](const httplib::Request& req, httplib::Response& res) {
        const auto timeout = timeoutParam(req);
        if (!timeout) return message(res, 400, "Body invalid");
        const auto result = engine.groupDelayTest(req.matches[1], req.get_param_value("url"), *timeout);
        if (!result) return message(res, 404, "Resource not found");
        json out = json::object();
        for (const auto& [member, delay] : *result) out[member] = delay;
        reply(res, 200, out);
    });

    s.Get("/connections", [&engine](const httplib::Request&, httplib::Response& res) {
        reply(res, 200, engine.connectionsJson());
    });

    s.Delete("/connections", [&engine](const httplib::Request&, httplib::Response& res) {
        engine.closeAllConnections();
        res.status = 204;
    });

    s.Delete(R"(/connections/(.+))", [&engine](const httplib::Request& req, httplib::Response& res) {
        engine.closeConnection(req.matches[1]);
        res.status = 204;
    });

    s.Post("/kavri/config", [&engine](const httplib::Request& req, httplib::Response& res) {
        json body = json::parse(req.body, nullptr, false);
        if (!body.is_object()) return message(res, 400, "Body invalid");
        engine.setTunables(std::move(body));
        res.status = 204;
    });

    s.Get("/kavri/diag", [&engine](const httplib::Request&, httplib::Response& res) { reply(res, 200, engine.diag()); });

    s.Get("/kavri/stall_dump", [&engine](const httplib::Request&, httplib::Response& res) {
        reply(res, 200, engine.nextStallDump());
    });
}

}  // namespace kavri
