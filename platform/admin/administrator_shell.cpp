#include "platform/admin/administrator_shell.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace kavri {

AdministratorShell::AdministratorShell(std::vector<std::string> elevate) : elevate_(std::move(elevate)) {}

AdministratorShell::Result AdministratorShell::run(const std::string& command) const {
    std::vector<std::string> argv = elevate_;
    argv.insert(argv.end(), {"/bin/sh", "-c", command});
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    pid_t pid = -1;
    const int err = ::posix_spawn(&pid, args[0], nullptr, nullptr, args.data(), environ);
    if (err != 0) return {false, "cannot start " + argv.front() + ": " + std::strerror(err)};
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return {false, std::string("wait: ") + std::strerror(errno)};
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return {true, {}};
    if (WIFEXITED(status)) return {false, "exit status " + std::to_string(WEXITSTATUS(status))};
    return {false, "ended by signal " + std::to_string(WTERMSIG(status))};
}

}  // namespace kavri
