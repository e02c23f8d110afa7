#include "platform/ne/tunnel_control_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/ne/peer_credentials.h"

namespace kavri {
namespace {

using nlohmann::json;

// How many recent status events waitForStatus can look back on.
constexpr std::size_t kHistory = 64;

std::string errnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

std::string errorOf(const json& reply) {
    auto e = reply.find("error");
    return e != reply.end() && e->is_string() ? e->get<std::string>() : "the tunnel host refused the request";
}

bool isOk(const json& reply) {
    auto ok = reply.find("ok");
    return ok != reply.end() && ok->is_boolean() && ok->get<bool>();
}

}  // namespace

struct TunnelControlClient::Pending {
    std::optional<json> reply;
};

std::filesystem::path TunnelControlClient::socketPath(const std::filesystem::path& sharedDirectory) {
    return sharedDirectory / TunnelControlProtocol::socketName;
}

TunnelControlClient::TunnelControlClient(const std::filesystem::path& socketPath, std::chrono::milliseconds timeout) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (socketPath.native().size() >= sizeof addr.sun_path) throw Error("socket path too long: " + socketPath.string());
    std::memcpy(addr.sun_path, socketPath.c_str(), socketPath.native().size() + 1);

    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) throw Error(errnoText("socket"));
    auto bail = [&](std::string message) {
        ::close(fd_);
        fd_ = -1;
        throw Error(std::move(message));
    };
    if (connect(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
        bail(errnoText("cannot reach the tunnel host at " + socketPath.string()));
    // The shared directory is open to everyone: make sure the tunnel host we
    // hand start options (and tokens) to is our own user's or root's.
    const auto peer = PeerCredentials::of(fd_);
    if (!peer || !peer->isTrusted())
        bail("the control socket " + socketPath.string() + " is not served by our user or root" +
             (peer ? " (uid " + std::to_string(peer->uid) + ")" : std::string()));

    // The greeting: the host's current status, or why it refuses us.
    std::string buffer;
    const auto deadline = Clock::now() + timeout;
    std::size_t newline;
    while ((newline = buffer.find('\n')) == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd p{fd_, POLLIN, 0};
        const int ready = left.count() > 0 ? poll(&p, 1, static_cast<int>(left.count())) : 0;
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) bail("no greeting from the tunnel host");
        char chunk[4096];
        const ssize_t n = ::read(fd_, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) bail("the tunnel host closed the connection");
        buffer.append(chunk, static_cast<std::size_t>(n));
        if (buffer.size() > TunnelControlProtocol::maxLineBytes) bail("malformed greeting from the tunnel host");
    }
    const json greeting = json::parse(std::string_view(buffer).substr(0, newline), nullptr, false);
    if (greeting.is_object() && greeting.contains("ok") && !isOk(greeting)) bail(errorOf(greeting));
    const auto snapshot = greeting.is_object() && greeting.value("event", "") == "status"
                              ? TunnelControlProtocol::readSnapshot(greeting)
                              : std::nullopt;
    if (!snapshot) bail("malformed greeting from the tunnel host");
    latest_ = *snapshot;
    buffer.erase(0, newline + 1);
    reader_ = std::thread([this, rest = std::move(buffer)]() mutable { readLoop(std::move(rest)); });
}

TunnelControlClient::~TunnelControlClient() {
    if (fd_ < 0) return;
    ::shutdown(fd_, SHUT_RDWR);
    if (reader_.joinable()) reader_.join();
    ::close(fd_);
}

void TunnelControlClient::readLoop(std::string buffer) {
    for (;;) {
        std::size_t start = 0;
        for (std::size_t nl; (nl = buffer.find('\n', start)) != std::string::npos; start = nl + 1) {
            const json message = json::parse(std::string_view(buffer).substr(start, nl - start), nullptr, false);
            if (message.is_object()) dispatch(message);
        }
        buffer.erase(0, start);
        if (buffer.size() > TunnelControlProtocol::maxLineBytes) break;  // not a host we understand
        char chunk[65536];
        const ssize_t n = ::read(fd_, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        buffer.append(chunk, static_cast<std::size_t>(n));
    }
    std::lock_guard lock(mutex_);
    closed_ = true;
    changed_.notify_all();
}

void TunnelControlClient::dispatch(const json& message) {
    if (message.value("event", "") == "status") {
        if (auto snapshot = TunnelControlProtocol::readSnapshot(message)) onStatusEvent(*snapshot);
        return;
    }
    auto id = message.find("id");
    if (id == message.end() || !id->is_number_integer()) return;
    std::lock_guard lock(mutex_);
    auto it = pending_.find(id->get<std::int64_t>());
    if (it == pending_.end()) return;  // the caller gave up waiting
    it->second->reply = message;
    changed_.notify_all();
}

void TunnelControlClient::onStatusEvent(const Snapshot& snapshot) {
    // Subscribers first: once latest() or waitForStatus shows an event, every
    // subscriber has seen it.
    {
        std::lock_guard lock(subscribersMutex_);
        for (auto& [id, callback] : subscribers_) callback(snapshot);
    }
    std::lock_guard lock(mutex_);
    latest_ = snapshot;
    recent_[++eventCount_] = snapshot.status;
    if (recent_.size() > kHistory) recent_.erase(recent_.begin());
    changed_.notify_all();
}

void TunnelControlClient::sendLine(const std::string& line) {
    std::lock_guard lock(writeMutex_);
    std::size_t off = 0;
    while (off < line.size()) {
        const ssize_t n = ::send(fd_, line.data() + off, line.size() - off, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw Error(errnoText("cannot write to the tunnel host"));
        off += static_cast<std::size_t>(n);
    }
}

json TunnelControlClient::call(json request, std::chrono::milliseconds timeout) {
    auto slot = std::make_shared<Pending>();
    std::int64_t id;
    {
        std::lock_guard lock(mutex_);
        if (closed_) throw Error("the tunnel host closed the connection");
        id = nextId_++;
    }
    request["id"] = id;
    std::string line;
    try {
        line = request.dump(-1, ' ', false, json::error_handler_t::strict);
    } catch (const json::type_error&) {
        throw Error("the request holds text that is not UTF-8");
    }
    line.push_back('\n');
    {
        std::lock_guard lock(mutex_);
        pending_[id] = slot;
    }
    try {
        sendLine(line);
    } catch (...) {
        std::lock_guard lock(mutex_);
        pending_.erase(id);
        throw;
    }
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return slot->reply.has_value() || closed_; });
    pending_.erase(id);
    if (slot->reply) return std::move(*slot->reply);
    if (closed_) throw Error("the tunnel host closed the connection");
    return json();  // null: timed out
}

TunnelControlClient::Snapshot TunnelControlClient::start(const TunnelOptions& options,
                                                         std::chrono::milliseconds timeout) {
    json request = {{"op", "start"}};
    if (!options.is_null()) request["options"] = options;
    const json reply = call(std::move(request), timeout);
    if (reply.is_null()) throw Error("the tunnel did not start in time");
    if (!isOk(reply)) throw Error(errorOf(reply));
    auto snapshot = TunnelControlProtocol::readSnapshot(reply);
    if (!snapshot) throw Error("malformed reply from the tunnel host");
    return *snapshot;
}

TunnelControlClient::Snapshot TunnelControlClient::stop(ProviderStopReason reason, std::chrono::milliseconds timeout) {
    const json reply = call({{"op", "stop"}, {"reason", static_cast<int>(reason)}}, timeout);
    if (reply.is_null()) throw Error("the tunnel did not stop in time");
    if (!isOk(reply)) throw Error(errorOf(reply));
    auto snapshot = TunnelControlProtocol::readSnapshot(reply);
    if (!snapshot) throw Error("malformed reply from the tunnel host");
    return *snapshot;
}

bool TunnelControlClient::wake(std::chrono::milliseconds timeout) {
    const json reply = call({{"op", "wake"}}, timeout);
    if (reply.is_null()) throw Error("no reply from the tunnel host");
    if (!isOk(reply)) throw Error(errorOf(reply));
    return reply.value("delivered", false);
}

std::optional<std::string> TunnelControlClient::sendMessage(std::string_view data, std::chrono::milliseconds timeout) {
    const json reply = call({{"op", "message"}, {"data", TunnelControlProtocol::encodeData(data)}}, timeout);
    if (reply.is_null()) return std::nullopt;  // no reply in time
    if (!isOk(reply)) throw Error(errorOf(reply));
    auto r = reply.find("reply");
    if (r == reply.end() || r->is_null()) return std::nullopt;
    return TunnelControlProtocol::decodeData(*r);
}

TunnelControlClient::Snapshot TunnelControlClient::status(std::chrono::milliseconds timeout) {
    const json reply = call({{"op", "status"}}, timeout);
    if (reply.is_null()) throw Error("no reply from the tunnel host");
    auto snapshot = isOk(reply) ? TunnelControlProtocol::readSnapshot(reply) : std::nullopt;
    if (!snapshot) throw Error(errorOf(reply));
    return *snapshot;
}

TunnelControlClient::Snapshot TunnelControlClient::latest() const {
    std::lock_guard lock(mutex_);
    return latest_;
}

bool TunnelControlClient::waitForStatus(TunnelStatus status, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    const std::uint64_t since = eventCount_;
    auto reached = [&] {
        if (latest_.status == status) return true;
        for (auto it = recent_.upper_bound(since); it != recent_.end(); ++it)
            if (it->second == status) return true;
        return false;
    };
    changed_.wait_for(lock, timeout, [&] { return reached() || closed_; });
    return reached();
}

int TunnelControlClient::subscribe(std::function<void(const Snapshot&)> onStatus) {
    std::lock_guard lock(subscribersMutex_);
    const int id = nextSubscription_++;
    subscribers_.emplace(id, std::move(onStatus));
    return id;
}

void TunnelControlClient::unsubscribe(int subscription) {
    std::lock_guard lock(subscribersMutex_);
    subscribers_.erase(subscription);
}

void TunnelControlClient::shutdown() {
    if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
}

bool TunnelControlClient::connected() const {
    std::lock_guard lock(mutex_);
    return !closed_;
}

}  // namespace kavri
