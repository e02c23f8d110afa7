#include "platform/network/tcp_probe.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace kavri {
namespace {

using Steady = std::chrono::steady_clock;

// One probe's outcome, settled exactly once: by the connecting thread (a
// connect time or a failure) or by the waiting caller (time-out, stop),
// whichever comes first. Settling also wakes a connect in progress so that it
// gives up at once.
struct Outcome {
    std::mutex mutex;
    std::condition_variable_any settledChanged;
    bool settled = false;
    std::optional<std::int64_t> millis;
    int wakeFd = -1;  // an eventfd, readable once settled

    ~Outcome() {
        if (wakeFd >= 0) ::close(wakeFd);
    }

    void settle(std::optional<std::int64_t> value) {
        {
            std::lock_guard lock(mutex);
            if (settled) return;
            settled = true;
            millis = value;
        }
        const std::uint64_t one = 1;
        (void)!::write(wakeFd, &one, sizeof one);
        settledChanged.notify_all();
    }

    bool isSettled() {
        std::lock_guard lock(mutex);
        return settled;
    }
};

// Waits for a non-blocking connect on `fd` to complete; false when it failed,
// the deadline passed or the outcome was settled meanwhile.
bool awaitConnect(int fd, int wakeFd, Steady::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Steady::now());
        if (left.count() <= 0) return false;
        pollfd fds[2] = {{fd, POLLOUT, 0}, {wakeFd, POLLIN, 0}};
        const int r = ::poll(fds, 2, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0 || fds[1].revents != 0) return false;
        int error = 0;
        socklen_t length = sizeof error;
        return ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
    }
}

// Resolves the name and connects to its addresses in order until one
// answers; settles the outcome.
void connectAll(const std::shared_ptr<Outcome>& outcome, const std::string& host, std::uint16_t port,
                Steady::time_point start, Steady::time_point deadline) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list) != 0) return outcome->settle(std::nullopt);
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(list, ::freeaddrinfo);
    for (const addrinfo* ai = list; ai && !outcome->isSettled(); ai = ai->ai_next) {
        const int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0) continue;
        const bool connected = ::connect(fd, ai->ai_addr, ai->ai_addrlen) == 0 ||
                               (errno == EINPROGRESS && awaitConnect(fd, outcome->wakeFd, deadline));
        const auto at = Steady::now();
        ::close(fd);
        if (connected)
            return outcome->settle(std::chrono::duration_cast<std::chrono::milliseconds>(at - start).count());
    }
    outcome->settle(std::nullopt);
}

}  // namespace

std::optional<std::int64_t> TcpProbe::connectMillis(const std::string& host, std::uint16_t port,
                                                    std::chrono::milliseconds limit, std::stop_token stop) {
    auto outcome = std::make_shared<Outcome>();
    outcome->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (outcome->wakeFd < 0) return std::nullopt;

    const auto start = Steady::now();
    const auto deadline = start + limit;
    try {
        // Detached: a name lookup cannot be interrupted, and the caller must
        // not wait for one beyond the limit. The thread owns a share of the
        // outcome and touches nothing else of ours.
        std::thread([outcome, host, port, start, deadline] { connectAll(outcome, host, port, start, deadline); })
            .detach();
    } catch (const std::system_error&) {
        return std::nullopt;
    }
    {
        std::unique_lock lock(outcome->mutex);
        outcome->settledChanged.wait_until(lock, stop, deadline, [&] { return outcome->settled; });
    }
    outcome->settle(std::nullopt);  // the time is up or we were stopped; no-op when settled
    std::lock_guard lock(outcome->mutex);
    return outcome->millis;
}

}  // namespace kavri
