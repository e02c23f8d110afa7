#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/http/http_session.h"

struct ssl_ctx_st;

namespace kavri {

// Terminates TLS on a loopback port and relays every connection, as plain
// bytes, to a backend HTTP server on another loopback port. On the way it
// reads each request's head, so the backend can learn the request line and
// the headers exactly as sent (name, case and order), and it can end a
// connection instead of relaying the backend's reply: drop it, or write bytes
// that are not HTTP.
class TlsFront {
public:
    struct Head {
        std::string method;
        std::string target;  // the request target as sent
        HttpHeaders headers;
    };
    // How the reply of a connection reaches its client: relayed whole,
    // dropped, replaced by bytes that are not HTTP, or cut off halfway
    // through its body (the head announces the whole length).
    enum class Ending { Relay, Close, NotHttp, CutBody };

    // Listens on 127.0.0.1:`port` (0: an ephemeral port).
    TlsFront(const std::string& certFile, const std::string& keyFile, int backendPort, int port = 0);
    ~TlsFront();
    TlsFront(const TlsFront&) = delete;
    TlsFront& operator=(const TlsFront&) = delete;

    int port() const { return port_; }
    // Drops every connection and stops listening; the other members stay
    // usable (they find no connection). The destructor stops too.
    void stop();

    // The backend side of a connection is named by the port its peer (this
    // front) uses, which the backend sees as the request's remote port.
    // The oldest head not yet taken on that connection.
    std::optional<Head> takeHead(int backendPeerPort);
    // Instead of relaying the reply to the current request, end the client's
    // connection as given.
    void endConnection(int backendPeerPort, Ending how);
    // True while the client behind that backend connection is connected.
    bool connectionOpen(int backendPeerPort);
    // Called (on a relay thread) whenever a connection ends.
    void onConnectionEnd(std::function<void()> callback);

private:
    struct Connection {
        int clientFd = -1;
        int backendFd = -1;
        int backendPeerPort = 0;
        std::thread thread;
        std::atomic<bool> done{false};
        // Guarded by TlsFront::mutex_.
        std::deque<Head> heads;
        Ending ending = Ending::Relay;
        bool open = true;
        // Owned by the relay thread.
        std::string unparsed;
        std::size_t bodyLeft = 0;
        bool stopParsing = false;
        std::string heldReply;  // Ending::CutBody: the reply until its head is whole
    };

    void acceptLoop();
    void relay(Connection& c);
    void tap(Connection& c, const char* data, std::size_t n);
    void reapFinished();

    ssl_ctx_st* ctx_ = nullptr;
    int listenFd_ = -1;
    int port_ = 0;
    int backendPort_ = 0;
    std::atomic<bool> stopping_{false};
    bool stopped_ = false;
    std::thread acceptThread_;

    std::mutex mutex_;
    std::list<std::unique_ptr<Connection>> connections_;
    std::map<int, Connection*> byPeerPort_;
    std::function<void()> onEnd_;
};

}  // namespace kavri
