#pragma once

#include <map>
#include <string>
#include <vector>

namespace kavri {

// Runs a program to its end and collects what it printed: standard output
// and standard error go into one pipe, read whole.
class ProcessRunner {
public:
    struct Result {
        int status = -1;     // exit status; -1 when it could not start or died by a signal
        std::string output;  // standard output and error, interleaved as written
    };

    // `program` is an absolute path; `environment` is added to (or replaces
    // in) the caller's. Standard input is /dev/null.
    static Result run(const std::string& program, const std::vector<std::string>& arguments,
                      const std::map<std::string, std::string>& environment = {});
};

}  // namespace kavri
