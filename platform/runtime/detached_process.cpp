#include "platform/runtime/detached_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace kavri {
namespace {

// Reads exactly `size` bytes unless the pipe ends first; the bytes read.
std::size_t readFull(int fd, void* into, std::size_t size) {
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = ::read(fd, static_cast<char*>(into) + got, size - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    return got;
}

}  // namespace

pid_t DetachedProcess::start(const std::vector<std::string>& argv) { return start(argv, Options{}); }

pid_t DetachedProcess::start(const std::vector<std::string>& argv, const Options& options) {
    if (argv.empty() || argv.front().empty() || argv.front().front() != '/') {
        throw Error("cannot start a program without an absolute path");
    }
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    // Everything the child needs is made before the fork: between fork and
    // exec only async-signal-safe calls are allowed in a threaded process.
    std::vector<std::string> envText;
    for (char** e = environ; e && *e; ++e) {
        const std::string entry(*e);
        const auto eq = entry.find('=');
        if (options.environment.count(entry.substr(0, eq))) continue;
        envText.push_back(entry);
    }
    for (const auto& [k, v] : options.environment) envText.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (auto& e : envText) envp.push_back(e.data());
    envp.push_back(nullptr);
    int logFd = -1;
    if (options.logFile) {
        logFd = ::open(options.logFile->c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (logFd < 0) throw Error("cannot open " + options.logFile->string() + ": " + std::strerror(errno));
    }

    // The grandchild's id comes back through the pipe, followed by errno when
    // exec fails; exec closes the pipe, so end of input means it runs.
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        const int err = errno;
        if (logFd >= 0) ::close(logFd);
        throw Error(std::string("pipe: ") + std::strerror(err));
    }
    const pid_t middle = ::fork();
    if (middle < 0) {
        const int err = errno;
        ::close(fds[0]);
        ::close(fds[1]);
        if (logFd >= 0) ::close(logFd);
        throw Error(std::string("fork: ") + std::strerror(err));
    }
    if (middle == 0) {
        ::setsid();
        const pid_t pid = ::fork();
        if (pid != 0) {
            (void)!::write(fds[1], &pid, sizeof pid);
            ::_exit(pid < 0 ? 1 : 0);
        }
        const int null = ::open("/dev/null", O_RDONLY);
        if (null >= 0) ::dup2(null, 0);
        if (logFd >= 0) {
            ::dup2(logFd, 1);
            ::dup2(logFd, 2);
        }
        // Keep only the three standard files and the pipe (closed by exec).
        const unsigned keep = static_cast<unsigned>(fds[1]);
        auto closeRange = [](unsigned low, unsigned high) {
            if (low > high) return;
            if (::syscall(SYS_close_range, low, high, 0) == 0) return;
            for (unsigned fd = low; fd <= high && fd < 65536; ++fd) ::close(static_cast<int>(fd));
        };
        closeRange(3, keep - 1);
        closeRange(keep + 1, ~0U);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execve(args[0], args.data(), envp.data());
        const int err = errno;
        (void)!::write(fds[1], &err, sizeof err);
        ::_exit(127);
    }
    ::close(fds[1]);
    if (logFd >= 0) ::close(logFd);
    pid_t pid = -1;
    int err = 0;
    const bool gotPid = readFull(fds[0], &pid, sizeof pid) == sizeof pid;
    const bool failed = readFull(fds[0], &err, sizeof err) == sizeof err;
    ::close(fds[0]);
    int status = 0;
    while (::waitpid(middle, &status, 0) < 0 && errno == EINTR) {
    }
    if (!gotPid || pid < 0) throw Error("cannot start " + argv.front() + ": fork failed");
    if (failed) throw Error("cannot start " + argv.front() + ": " + std::strerror(err));
    return pid;
}

}  // namespace kavri
