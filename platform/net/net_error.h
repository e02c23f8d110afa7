#pragma once

#include <stdexcept>
#include <string>

namespace kavri {

// A socket operation that failed: no route, refused, reset, a peer that
// broke the protocol it was expected to speak.
class NetError : public std::runtime_error {
public:
    explicit NetError(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace kavri
