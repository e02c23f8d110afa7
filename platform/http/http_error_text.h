#pragma once

#include <string>

#include "platform/http/http_session.h"

namespace kavri {

// What the user reads about a request that got no usable HTTP reply: the
// system's Russian text for the kind of failure (no such host, no
// connection, time-out, TLS, connection lost, reply too large, cancelled).
// Never holds the request's URL, which may carry a token.
class HttpErrorText {
public:
    static std::string localized(const HttpError& error);
};

}  // namespace kavri
