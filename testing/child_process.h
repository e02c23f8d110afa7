#pragma once
// A program of ours run as a child process for tests: its own environment
// additions, standard error kept in a file, stopped with a signal.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/runtime/log.h"

namespace kavri {

class ChildProcess {
public:
    ChildProcess(const std::filesystem::path& program, std::vector<std::string> args,
                 const std::map<std::string, std::string>& env, const std::filesystem::path& stderrFile)
        : stderrFile_(stderrFile) {
        pid_ = ::fork();
        if (pid_ == 0) {
            for (const auto& [k, v] : env) ::setenv(k.c_str(), v.c_str(), 1);
            const int fd = ::open(stderrFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            ::dup2(fd, 2);
            std::vector<char*> argv{const_cast<char*>(program.c_str())};
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(program.c_str(), argv.data());
            ::_exit(127);
        }
    }
    ~ChildProcess() {
        if (running()) kill(SIGKILL);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    bool running() {
        if (exited_) return false;
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            exited_ = true;
            status_ = status;
            return false;
        }
        return true;
    }
    // Sends the signal and waits for the process to end; its wait status.
    int kill(int signal) {
        if (exited_) return status_;
        ::kill(pid_, signal);
        ::waitpid(pid_, &status_, 0);
        exited_ = true;
        return status_;
    }
    // Waits for the process to end by itself; its wait status.
    int wait() {
        if (!exited_) ::waitpid(pid_, &status_, 0);
        exited_ = true;
        return status_;
    }
    std::string output() const {
        std::ifstream in(stderrFile_);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    // Whether some line logged to standard error is `line` (its time stamp aside).
    bool outputHasLine(const std::string& line) const {
        std::istringstream in(output());
        for (std::string l; std::getline(in, l);)
            if (Log::withoutStamp(l) == line) return true;
        return false;
    }

    // Waits (real time) until the output holds `fragment`; false when the
    // process ended or the time ran out first.
    bool waitForOutput(const std::string& fragment, std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            if (output().find(fragment) != std::string::npos) return true;
            if (!running() || std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

private:
    std::filesystem::path stderrFile_;
    pid_t pid_ = -1;
    bool exited_ = false;
    int status_ = 0;
};

// Waits (real time) until `path` exists.
inline bool waitForFile(const std::filesystem::path& path, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (std::filesystem::exists(path)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

}  // namespace kavri
