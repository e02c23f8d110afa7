#pragma once

#include <stdexcept>
#include <string>

namespace kavri {

// What the VPN service answers when a profile or tunnel request fails. The
// codes are the service's own error numbers.
class TunnelProviderError : public std::runtime_error {
public:
    enum class Code {
        configurationInvalid = 1,          // the profile was never saved or is gone
        configurationDisabled = 2,         // the profile is not enabled
        connectionFailed = 3,              // the extension could not be started or reached
        configurationStale = 4,            // another writer saved the profile since it was loaded
        configurationReadWriteFailed = 5,  // the profiles file cannot be read or written
        configurationUnknown = 6,
    };

    TunnelProviderError(Code code, const std::string& what) : std::runtime_error(what), code_(code) {}
    Code code() const { return code_; }

private:
    Code code_;
};

}  // namespace kavri
