#include "platform/network/network_path.h"

namespace kavri {

const char* NetworkPath::statusName(Status status) {
    switch (status) {
        case Status::satisfied: return "satisfied";
        case Status::unsatisfied: return "unsatisfied";
        case Status::requiresConnection: return "requiresConnection";
    }
    return "unsatisfied";
}

const char* NetworkPath::typeWord(InterfaceType type) {
    switch (type) {
        case InterfaceType::wifi: return "wifi";
        case InterfaceType::cellular: return "cellular";
        case InterfaceType::wiredEthernet: return "ethernet";
        case InterfaceType::loopback: return "loopback";
        case InterfaceType::other: return "other";
        case InterfaceType::unknown: return "unknown";
    }
    return "unknown";
}

}  // namespace kavri
