#pragma once
// A port on 127.0.0.1 that was free a moment ago, for a server another
// process binds later (so it cannot be held open meanwhile), reserved for as
// long as the object lives among every process on this machine that reserves
// ports this way: tests running side by side never hand out the same one.
//
// It is drawn at random below the kernel's ephemeral range, where no outgoing
// connection can take it in between; the reservation is an exclusive lock on
// a file named after the port in a folder of the system's temporary
// directory, which the kernel releases when its holder exits, however it ends.
#include <cstdint>

namespace kavri {

class ReservedPort {
public:
    ReservedPort();
    ~ReservedPort();
    ReservedPort(const ReservedPort&) = delete;
    ReservedPort& operator=(const ReservedPort&) = delete;

    int port() const { return port_; }

private:
    int port_ = 0;
    int lockFd_ = -1;
};

}  // namespace kavri
