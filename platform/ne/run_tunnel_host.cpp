#include "platform/ne/run_tunnel_host.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>

#include "platform/runtime/log.h"

namespace kavri {
namespace {

// The write end of the signal pipe, for the handler (async-signal-safe).
std::atomic<int> gSignalWriteFd{-1};

extern "C" void onTerminationSignal(int sig) {
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(sig);
    const int fd = gSignalWriteFd.load();
    if (fd >= 0) (void)!write(fd, &byte, 1);
    errno = saved;
}

// SIGTERM and SIGINT, turned into bytes on a pipe for as long as it lives;
// the previous dispositions come back afterwards.
class TerminationSignals {
public:
    TerminationSignals() {
        if (pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0)
            throw std::runtime_error(std::string("pipe2: ") + std::strerror(errno));
        int expected = -1;
        if (!gSignalWriteFd.compare_exchange_strong(expected, fds_[1])) {
            closeFds();
            throw std::runtime_error("a tunnel host already runs in this process");
        }
        struct sigaction action {};
        action.sa_handler = onTerminationSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(SIGTERM, &action, &oldTerm_);
        sigaction(SIGINT, &action, &oldInt_);
    }
    ~TerminationSignals() {
        sigaction(SIGTERM, &oldTerm_, nullptr);
        sigaction(SIGINT, &oldInt_, nullptr);
        gSignalWriteFd.store(-1);
        closeFds();
    }
    TerminationSignals(const TerminationSignals&) = delete;
    TerminationSignals& operator=(const TerminationSignals&) = delete;

    // The next signal, waiting at most `timeout` (forever when negative).
    std::optional<int> next(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            unsigned char byte;
            if (read(fds_[0], &byte, 1) == 1) return byte;
            int wait = -1;
            if (timeout.count() >= 0) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now());
                if (left.count() <= 0) return std::nullopt;
                wait = static_cast<int>(left.count());
            }
            pollfd p{fds_[0], POLLIN, 0};
            if (poll(&p, 1, wait) < 0 && errno != EINTR) return std::nullopt;
        }
    }

private:
    void closeFds() {
        ::close(fds_[0]);
        ::close(fds_[1]);
    }
    int fds_[2]{-1, -1};
    struct sigaction oldTerm_ {};
    struct sigaction oldInt_ {};
};

}  // namespace

int runTunnelHost(TunnelHost::ProviderFactory makeProvider, const std::filesystem::path& sharedDirectory,
                  TunnelHostRunOptions options) {
    using namespace std::chrono;
    std::optional<TerminationSignals> signals;
    std::unique_ptr<TunnelHost> host;
    try {
        signals.emplace();
        options.host.directory = sharedDirectory;
        host = std::make_unique<TunnelHost>(std::move(makeProvider), options.host,
                                            options.clock ? *options.clock : Clock::system());
    } catch (const std::exception& e) {
        Log::line(std::string("[Kavri] !! durnel: cannot serve the tunnel: ") + e.what());
        return 1;
    }
    if (options.onReady) options.onReady(*host);

    const int sig = signals->next(milliseconds(-1)).value_or(SIGTERM);
    const auto reason = sig == SIGINT ? ProviderStopReason::userInitiated : ProviderStopReason::providerDisabled;
    Log::line(std::string("[Kavri] durnel: ") + (sig == SIGINT ? "SIGINT" : "SIGTERM") + ", stopping the tunnel");

    const auto deadline = steady_clock::now() + options.stopTimeout;
    bool down = false;
    while (!down) {
        const auto left = duration_cast<milliseconds>(deadline - steady_clock::now());
        if (left.count() <= 0) break;
        down = host->stopAndWait(reason, std::min(left, milliseconds(50)));
        if (!down && signals->next(milliseconds(0))) {
            Log::line("[Kavri] !! durnel: second signal, not waiting for the tunnel to stop");
            break;
        }
    }
    if (!down) Log::line("[Kavri] !! durnel: the tunnel did not stop in time; exiting anyway");
    host.reset();
    Log::line("[Kavri] durnel: exiting");
    return 0;
}

}  // namespace kavri
