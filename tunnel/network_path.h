#pragma once

#include <string>
#include <vector>

namespace kavri {

// The network path as the path monitor last reported it: status, the
// available interfaces in their order, and the path's cost flags.
struct NetworkPath {
    enum class Status { satisfied, unsatisfied, requiresConnection };
    enum class InterfaceType { wifi, cellular, wiredEthernet, loopback, other, unknown };
    struct Interface {
        std::string name;
        int index = 0;
        InterfaceType type = InterfaceType::other;
    };

    Status status = Status::unsatisfied;
    std::vector<Interface> availableInterfaces;
    bool isExpensive = false;
    bool isConstrained = false;

    // "satisfied", "unsatisfied", "requiresConnection".
    static const char* statusName(Status status);
    // "wifi", "cellular", "ethernet", "loopback", "other"; "unknown" otherwise.
    static const char* typeWord(InterfaceType type);
};

}  // namespace kavri
