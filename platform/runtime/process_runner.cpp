#include "platform/runtime/process_runner.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

extern char** environ;

namespace kavri {

ProcessRunner::Result ProcessRunner::run(const std::string& program, const std::vector<std::string>& arguments,
                                         const std::map<std::string, std::string>& environment, Collect collect) {
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);

    std::vector<std::string> envText;
    for (char** e = environ; e && *e; ++e) {
        const std::string entry(*e);
        if (!environment.count(entry.substr(0, entry.find('=')))) envText.push_back(entry);
    }
    for (const auto& [k, v] : environment) envText.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (auto& e : envText) envp.push_back(e.data());
    envp.push_back(nullptr);

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (collect == Collect::errorOnly)
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    else
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    pid_t pid = -1;
    const int err = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (err != 0) {
        ::close(fds[0]);
        return {};
    }

    Result result;
    char buffer[16384];
    for (;;) {
        const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        const std::size_t room = maxOutputBytes - result.output.size();
        result.output.append(buffer, std::min(room, static_cast<std::size_t>(n)));
    }
    ::close(fds[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return {-1, std::move(result.output)};
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

}  // namespace kavri
