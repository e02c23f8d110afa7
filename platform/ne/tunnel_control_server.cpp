#include "platform/ne/tunnel_control_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>
#include <system_error>
#include <variant>
#include <vector>

#include "platform/ne/peer_credentials.h"
#include "platform/ne/tunnel_control_protocol.h"
#include "platform/runtime/log.h"

namespace kavri {
namespace {

// A client that stops reading is dropped once this much waits for it.
constexpr std::size_t kMaxPendingOut = 64 * 1024 * 1024;

// A descriptor held in reserve: given up for a moment to accept (and close)
// a client when the process has no other descriptor left.
int openSpare() { return ::open("/dev/null", O_RDONLY | O_CLOEXEC); }

[[noreturn]] void fail(const std::string& what) { throw std::system_error(errno, std::generic_category(), what); }

sockaddr_un addressOf(const std::filesystem::path& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string& text = path.native();
    if (text.size() >= sizeof addr.sun_path)
        throw std::system_error(ENAMETOOLONG, std::generic_category(), "socket path too long: " + text);
    std::memcpy(addr.sun_path, text.c_str(), text.size() + 1);
    return addr;
}

nlohmann::json errorReply(std::string message) {
    return {{"id", nullptr}, {"ok", false}, {"error", std::move(message)}};
}

}  // namespace

struct TunnelControlServer::Connection {
    ConnectionId id = 0;
    int fd = -1;
    std::string in;         // loop thread only
    std::string out;        // under mutex_
    std::size_t outOff = 0;  // under mutex_
    bool closeAfterFlush = false;
    bool readClosed = false;  // the client shut its sending side; replies still go out
    bool dead = false;
};

std::string TunnelControlServer::serialize(const nlohmann::json& message) {
    // Texts from a provider may hold ill-formed UTF-8; replace it rather than
    // fail the whole line.
    std::string line = message.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    line.push_back('\n');
    return line;
}

TunnelControlServer::TunnelControlServer(std::filesystem::path path, Handlers handlers)
    : path_(std::move(path)), handlers_(std::move(handlers)) {
    eventFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (eventFd_ < 0) fail("eventfd");
    spareFd_ = openSpare();
    try {
        bindSocket();
    } catch (...) {
        ::close(eventFd_);
        if (spareFd_ >= 0) ::close(spareFd_);
        if (listenFd_ >= 0) ::close(listenFd_);
        throw;
    }
    thread_ = std::thread([this] { loop(); });
}

TunnelControlServer::~TunnelControlServer() { stop(); }

void TunnelControlServer::bindSocket() {
    const sockaddr_un addr = addressOf(path_);
    struct stat st {};
    if (lstat(path_.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode))
            throw std::system_error(EEXIST, std::generic_category(), "not a socket: " + path_.string());
        // Someone answering there is a live host; refuse to take its place.
        const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (probe < 0) fail("socket");
        const bool live = connect(probe, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
        ::close(probe);
        if (live)
            throw std::system_error(EADDRINUSE, std::generic_category(),
                                    "another tunnel host listens on " + path_.string());
        if (unlink(path_.c_str()) != 0 && errno != ENOENT) fail("unlink " + path_.string());
    }
    listenFd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listenFd_ < 0) fail("socket");
    if (bind(listenFd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) fail("bind " + path_.string());
    // Peer credentials are the real guard (the directory is open to all);
    // the mode keeps other users from even connecting.
    if (chmod(path_.c_str(), 0600) != 0 || lstat(path_.c_str(), &st) != 0) {
        const int saved = errno;
        unlink(path_.c_str());
        errno = saved;
        fail("chmod " + path_.string());
    }
    socketDev_ = st.st_dev;
    socketIno_ = st.st_ino;
    if (listen(listenFd_, 16) != 0) {
        const int saved = errno;
        unlink(path_.c_str());
        errno = saved;
        fail("listen");
    }
}

void TunnelControlServer::stop() {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        stopping_ = true;
    }
    wakeLoop();
    if (thread_.joinable()) thread_.join();
    std::lock_guard lock(mutex_);
    for (auto& [id, c] : connections_) {
        flushLocked(*c);  // the last events (disconnected) still go out, if the client has room
        ::close(c->fd);
    }
    connections_.clear();
    if (listenFd_ >= 0) {
        struct stat st {};
        if (lstat(path_.c_str(), &st) == 0 && st.st_dev == socketDev_ && st.st_ino == socketIno_)
            unlink(path_.c_str());
        ::close(listenFd_);
        listenFd_ = -1;
    }
    if (eventFd_ >= 0) {
        ::close(eventFd_);
        eventFd_ = -1;
    }
    if (spareFd_ >= 0) {
        ::close(spareFd_);
        spareFd_ = -1;
    }
}

void TunnelControlServer::wakeLoop() {
    const std::uint64_t one = 1;
    if (eventFd_ >= 0) (void)!write(eventFd_, &one, sizeof one);
}

void TunnelControlServer::queueLocked(Connection& c, const std::string& line) {
    if (c.dead || c.closeAfterFlush) return;
    if (c.out.size() - c.outOff + line.size() > kMaxPendingOut) {
        Log::line("[Kavri] tunnel host: dropping a client that does not read its replies");
        c.dead = true;
        return;
    }
    c.out += line;
}

void TunnelControlServer::send(ConnectionId client, const nlohmann::json& message) {
    const std::string line = serialize(message);
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        auto it = connections_.find(client);
        if (it == connections_.end()) return;
        queueLocked(*it->second, line);
    }
    wakeLoop();
}

void TunnelControlServer::broadcast(const nlohmann::json& message) {
    const std::string line = serialize(message);
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        for (auto& [id, c] : connections_) queueLocked(*c, line);
    }
    wakeLoop();
}

void TunnelControlServer::flushLocked(Connection& c) {
    while (!c.dead && c.outOff < c.out.size()) {
        const ssize_t n = ::send(c.fd, c.out.data() + c.outOff, c.out.size() - c.outOff, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            c.outOff += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        } else {
            c.dead = true;
        }
    }
    if (c.outOff == c.out.size()) {
        c.out.clear();
        c.outOff = 0;
        if (c.closeAfterFlush) c.dead = true;
    } else if (c.outOff > (1u << 20)) {
        c.out.erase(0, c.outOff);
        c.outOff = 0;
    }
}

void TunnelControlServer::acceptClients() {
    for (;;) {
        {
            // At the cap the rest wait in the backlog until clients leave.
            std::lock_guard lock(mutex_);
            if (connections_.size() >= maxClients) return;
        }
        const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if ((errno == EMFILE || errno == ENFILE) && spareFd_ >= 0) {
                // Out of descriptors: the client would stay in the backlog and
                // keep the socket readable. Take it with the spare and close it.
                ::close(spareFd_);
                const int dropped = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
                if (dropped >= 0) ::close(dropped);
                spareFd_ = openSpare();
                if (++refusedForDescriptors_ == 1 || refusedForDescriptors_ % 100 == 0)
                    Log::line("[Kavri] !! tunnel host: out of descriptors, refused client #" +
                              std::to_string(refusedForDescriptors_));
                if (dropped >= 0) continue;
            }
            return;  // EAGAIN (or no descriptor even so): the next poll tries again
        }
        const auto cred = PeerCredentials::of(fd);
        if (!cred || !cred->isTrusted()) {
            if (cred)
                Log::line("[Kavri] tunnel host: refused a client of uid " + std::to_string(cred->uid) + " (pid " +
                          std::to_string(cred->pid) + ")");
            else
                Log::line("[Kavri] tunnel host: refused a client without credentials");
            const std::string line = serialize(errorReply("permission denied"));
            (void)!::send(fd, line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            ::close(fd);
            continue;
        }
        ConnectionId id;
        {
            std::lock_guard lock(mutex_);
            id = nextId_++;
            auto c = std::make_unique<Connection>();
            c->id = id;
            c->fd = fd;
            connections_.emplace(id, std::move(c));
        }
        if (handlers_.onConnect) handlers_.onConnect(id);
    }
}

void TunnelControlServer::handleLine(Connection& c, std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.find_first_not_of(" \t") == std::string_view::npos) return;
    auto parsed = TunnelControlProtocol::parseLine(line);
    if (auto* error = std::get_if<TunnelControlProtocol::RequestError>(&parsed)) {
        send(c.id, errorReply(std::move(error->error)));
        return;
    }
    if (handlers_.onRequest) handlers_.onRequest(c.id, std::get<nlohmann::json>(parsed));
}

bool TunnelControlServer::readFrom(Connection& c) {
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(c.fd, buf, sizeof buf);
        if (n == 0) {
            // A half-close (`socat`, `nc -N`): the requests are all in (the
            // last one may lack its newline), the replies may still be
            // pending. A full close shows as POLLHUP.
            handleLine(c, c.in);
            c.in.clear();
            std::lock_guard lock(mutex_);
            c.readClosed = true;
            return true;
        }
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
        c.in.append(buf, static_cast<std::size_t>(n));
        std::size_t start = 0;
        for (std::size_t nl; (nl = c.in.find('\n', start)) != std::string::npos; start = nl + 1)
            handleLine(c, std::string_view(c.in.data() + start, nl - start));
        c.in.erase(0, start);
        if (c.in.size() > TunnelControlProtocol::maxLineBytes) {
            std::lock_guard lock(mutex_);
            queueLocked(c, serialize(errorReply("request line too long")));
            c.closeAfterFlush = true;
            c.in.clear();
            return true;
        }
    }
}

void TunnelControlServer::loop() {
    std::vector<pollfd> fds;
    std::vector<ConnectionId> ids;
    for (;;) {
        fds.clear();
        ids.clear();
        fds.push_back({eventFd_, POLLIN, 0});
        fds.push_back({listenFd_, 0, 0});
        {
            std::lock_guard lock(mutex_);
            if (stopping_) return;
            for (auto it = connections_.begin(); it != connections_.end();) {
                Connection& c = *it->second;
                flushLocked(c);
                if (c.dead) {
                    ::close(c.fd);
                    it = connections_.erase(it);
                    continue;
                }
                short events = c.closeAfterFlush || c.readClosed ? 0 : POLLIN;
                if (c.outOff < c.out.size()) events |= POLLOUT;
                fds.push_back({c.fd, events, 0});
                ids.push_back(c.id);
                ++it;
            }
            // At the cap the listening socket is not watched, so waiting
            // clients never make the loop spin.
            if (connections_.size() < maxClients) fds[1].events = POLLIN;
        }
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            Log::line(std::string("[Kavri] !! tunnel host: poll failed: ") + std::strerror(errno));
            return;
        }
        if (fds[0].revents & POLLIN) {
            std::uint64_t count;
            (void)!read(eventFd_, &count, sizeof count);
        }
        if (fds[1].revents & POLLIN) acceptClients();
        for (std::size_t i = 2; i < fds.size(); ++i) {
            if (!fds[i].revents) continue;
            Connection* c;
            {
                std::lock_guard lock(mutex_);
                auto it = connections_.find(ids[i - 2]);
                if (it == connections_.end()) continue;
                c = it->second.get();
            }
            // Only this thread removes connections, so `c` stays valid here.
            bool keep = true;
            bool readClosed;
            {
                std::lock_guard lock(mutex_);
                readClosed = c->readClosed || c->closeAfterFlush;
            }
            if (readClosed) {
                keep = !(fds[i].revents & (POLLHUP | POLLERR));
            } else if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) {
                keep = readFrom(*c);
            }
            std::lock_guard lock(mutex_);
            if (!keep) c->dead = true;
        }
    }
}

}  // namespace kavri
