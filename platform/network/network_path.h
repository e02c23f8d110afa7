#pragma once

#include <string>
#include <vector>

namespace kavri {

// The network as the system sees it at one moment: whether traffic can leave
// the machine, and the interfaces it can use, the preferred one first.
struct NetworkPath {
    enum class Status { satisfied, unsatisfied, requiresConnection };
    enum class InterfaceType { wifi, cellular, wiredEthernet, loopback, other, unknown };
    struct Interface {
        std::string name;
        int index = 0;
        InterfaceType type = InterfaceType::other;
        bool operator==(const Interface&) const = default;
    };

    Status status = Status::unsatisfied;
    std::vector<Interface> availableInterfaces;
    // Linux cannot tell metered or low-data networks apart: always false.
    bool isExpensive = false;
    bool isConstrained = false;
    bool operator==(const NetworkPath&) const = default;

    // "satisfied", "unsatisfied", "requiresConnection".
    static const char* statusName(Status status);
    // "wifi", "cellular", "ethernet", "loopback", "other"; "unknown" otherwise.
    static const char* typeWord(InterfaceType type);
};

}  // namespace kavri
