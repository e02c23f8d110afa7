#pragma once

#include <string>
#include <vector>

namespace kavri {

// The network as the system sees it at one moment: whether traffic can leave
// the machine, and the interfaces it can use, the preferred one first.
struct NetworkInterface {
    enum class Type { wifi, cellular, wiredEthernet, loopback, other };
    std::string name;
    int index = 0;
    Type type = Type::other;
    bool operator==(const NetworkInterface&) const = default;
};

struct NetworkPath {
    enum class Status { satisfied, unsatisfied, requiresConnection };
    Status status = Status::unsatisfied;
    std::vector<NetworkInterface> availableInterfaces;
    // Linux cannot tell metered or low-data networks apart: always false.
    bool isExpensive = false;
    bool isConstrained = false;
    bool operator==(const NetworkPath&) const = default;
};

}  // namespace kavri
