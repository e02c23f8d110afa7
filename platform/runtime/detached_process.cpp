#include "platform/runtime/detached_process.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

pid_t DetachedProcess::start(const std::vector<std::string>& argv) {
    if (argv.empty() || argv.front().empty() || argv.front().front() != '/') {
        throw Error("cannot start a program without an absolute path");
    }
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    // The grandchild's id comes back through the pipe, followed by errno when
    // exec fails; exec closes the pipe, so end of input means it runs.
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw Error(std::string("pipe: ") + std::strerror(errno));
    const pid_t middle = ::fork();
    if (middle < 0) {
        const int err = errno;
        ::close(fds[0]);
        ::close(fds[1]);
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
        ::execv(args[0], args.data());
        const int err = errno;
        (void)!::write(fds[1], &err, sizeof err);
        ::_exit(127);
    }
    ::close(fds[1]);
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
