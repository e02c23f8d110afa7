#pragma once

#include <exception>
#include <string>

namespace kavri {

// The text a store publishes for a failed operation: the error's own
// description where it has one (the subscription download's Russian texts,
// the account client's refusals, the transport's texts), else the system's
// generic text.
class ErrorDescription {
public:
    static std::string of(std::exception_ptr error);
};

}  // namespace kavri
