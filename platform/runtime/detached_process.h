#pragma once

#include <stdexcept>
#include <string>
#include <sys/types.h>
#include <vector>

#include <filesystem>
#include <map>
#include <optional>

namespace kavri {

// Starts a program that lives on by itself: in a session of its own, not a
// child of the caller (nobody has to reap it), with standard input from
// /dev/null and standard output and error inherited.
class DetachedProcess {
public:
    class Error : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };

    struct Options {
        // Added to (or replacing in) the caller's environment.
        std::map<std::string, std::string> environment;
        // Standard error (and output) appended to this file instead of inherited.
        std::optional<std::filesystem::path> logFile;
    };

    // Runs argv[0] (an absolute path) with the arguments that follow and
    // returns the new process's id once the program is executing. Throws
    // Error, naming the reason, when it could not be started. The program
    // keeps none of the caller's other open files and starts with no signal
    // blocked.
    static pid_t start(const std::vector<std::string>& argv);
    static pid_t start(const std::vector<std::string>& argv, const Options& options);
};

}  // namespace kavri
