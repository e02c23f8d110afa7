#pragma once

#include <stdexcept>
#include <string>

namespace kavri {

// The engine refused a configuration or could not start or reload with it.
class EngineError : public std::runtime_error {
public:
    explicit EngineError(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace kavri
