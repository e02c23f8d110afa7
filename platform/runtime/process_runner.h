#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace kavri {

// Runs a program to its end and collects what it printed: standard output
// and standard error go into one pipe, read to its end and kept up to
// maxOutputBytes.
class ProcessRunner {
public:
    struct Result {
        int status = -1;     // exit status; -1 when it could not start or died by a signal
        std::string output;  // what was collected, interleaved as written
    };

    // Which of the program's streams are collected; the other one is
    // discarded.
    enum class Collect { outputAndError, errorOnly };

    // What is kept of a program's output; the rest is read and dropped.
    static constexpr std::size_t maxOutputBytes = 1u << 20;

    // `program` is an absolute path; `environment` is added to (or replaces
    // in) the caller's. Standard input is /dev/null.
    static Result run(const std::string& program, const std::vector<std::string>& arguments,
                      const std::map<std::string, std::string>& environment = {},
                      Collect collect = Collect::outputAndError);
};

}  // namespace kavri
