#pragma once

#include <string>
#include <vector>

namespace kavri {

// Runs a shell command with administrator rights: pkexec asks the user for
// an administrator's password through the desktop's authentication agent,
// then "/bin/sh -c <command>" runs as root.
class AdministratorShell {
public:
    struct Result {
        bool ok = false;    // the command ran and exited with status 0
        std::string error;  // why not, when it did not
    };

    // `elevate` is the program (and its arguments) that grants the rights;
    // empty runs the command with the caller's own rights.
    explicit AdministratorShell(std::vector<std::string> elevate = {"/usr/bin/pkexec"});

    // Runs the command and waits for it to end.
    Result run(const std::string& command) const;

private:
    std::vector<std::string> elevate_;
};

}  // namespace kavri
