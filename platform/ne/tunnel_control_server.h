#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include <nlohmann/json.hpp>

namespace kavri {

// The tunnel host's socket: a Unix stream socket that speaks JSON lines to
// up to maxClients clients at once. One thread polls the listening socket and every
// client; replies and events from other threads are queued per client and
// written by that thread, so a slow client never blocks the caller. Only
// clients running as our own user or as root are kept (PeerCredentials).
class TunnelControlServer {
public:
    using ConnectionId = std::uint64_t;

    struct Handlers {
        // A trusted client connected (called before any of its requests).
        std::function<void(ConnectionId)> onConnect;
        // One request: a line that parsed as a JSON object. Lines that do not
        // are answered with an error here and never reach the handler.
        std::function<void(ConnectionId, const nlohmann::json& request)> onRequest;
    };

    // Creates the socket at `path` (mode 0600) and starts serving. A stale
    // socket file left by a dead process is replaced; a live one (another host
    // answers there) or a path that is not a socket makes it throw
    // std::system_error, as does any failing system call.
    TunnelControlServer(std::filesystem::path path, Handlers handlers);
    ~TunnelControlServer();
    TunnelControlServer(const TunnelControlServer&) = delete;
    TunnelControlServer& operator=(const TunnelControlServer&) = delete;

    // Stops serving, writes out what is queued for each client as far as its
    // socket takes it without waiting, closes every client and removes the
    // socket file (when it is still ours). Idempotent; never call it from a
    // handler.
    void stop();

    // Queue one JSON line to one client / to every client. Any thread; a
    // client that has gone is skipped.
    void send(ConnectionId client, const nlohmann::json& message);
    void broadcast(const nlohmann::json& message);

    const std::filesystem::path& path() const { return path_; }

    // Clients served at once; more wait in the socket's backlog until some
    // leave.
    static constexpr std::size_t maxClients = 256;

    static std::string serialize(const nlohmann::json& message);

private:
    struct Connection;

    void bindSocket();
    void loop();
    void acceptClients();
    // Reads what the client sent; false when the connection is to be dropped.
    bool readFrom(Connection& c);
    void handleLine(Connection& c, std::string_view line);
    void flushLocked(Connection& c);
    void queueLocked(Connection& c, const std::string& line);
    void wakeLoop();

    std::filesystem::path path_;
    Handlers handlers_;
    int listenFd_ = -1;
    int eventFd_ = -1;
    int spareFd_ = -1;                       // see acceptClients()
    std::uint64_t refusedForDescriptors_ = 0;  // loop thread only
    dev_t socketDev_ = 0;
    ino_t socketIno_ = 0;

    std::mutex mutex_;
    std::map<ConnectionId, std::unique_ptr<Connection>> connections_;
    ConnectionId nextId_ = 1;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace kavri
