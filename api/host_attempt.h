#pragma once

#include <exception>
#include <stdexcept>
#include <stop_token>
#include <string>

#include "platform/http/http_session.h"

namespace kavri {

// One request of a control-plane host walk.
class HostAttempt {
public:
    // A status that moves the walk on, carried as `domain`'s error.
    class StatusError : public std::runtime_error {
    public:
        StatusError(const std::string& domain, int code)
            : std::runtime_error(domain + " error " + std::to_string(code)), code_(code) {}
        int code() const { return code_; }

    private:
        int code_;
    };

    // Asks the walk for the next host, carrying `why`.
    [[noreturn]] static void retry(std::exception_ptr why);

    // The reply; a failure without one moves on to the next host, carrying
    // the failure (a cancellation ends the walk).
    static HttpResponse send(const HttpSession& session, const HttpRequest& request, std::stop_token stop);
};

}  // namespace kavri
