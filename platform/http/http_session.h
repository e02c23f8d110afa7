#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kavri {

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
    std::string method = "GET";
    std::string url;
    HttpHeaders headers;  // sent in this order
    std::string body;
    // Replaces the session's request time limit for this request.
    std::optional<std::chrono::milliseconds> timeout;
    // A reply body longer than this ends the request with HttpError
    // (Transport, curl code CURLE_FILESIZE_EXCEEDED) as soon as it is known.
    std::optional<std::size_t> maxBodyBytes;
    // When set, the reply body is handed here piece by piece instead of being
    // kept in HttpResponse::body; returning false ends the request with
    // HttpError (Transport).
    std::function<bool(std::string_view)> bodySink;
    // Called on the sending thread each time body bytes arrived: the bytes so
    // far and the length the reply announced (0 when it announced none).
    std::function<void(std::int64_t received, std::int64_t expected)> progress;

    // Replaces the value of a header of that name (any case) or appends it.
    void setHeader(std::string name, std::string value);

    // True when `text` can travel as a header name or value: no CR, LF or
    // NUL, which would end the header early or start another one. send()
    // refuses a request with any other header.
    static bool isHeaderText(std::string_view text);
    // setHeader() when `value` is present, not empty and header text; an
    // absent, empty or unsafe value sends no header at all.
    void setOptionalHeader(std::string name, const std::optional<std::string>& value);
};

struct HttpResponse {
    int status = 0;
    HttpHeaders headers;  // in the order received
    std::string body;

    // First header of that name, compared without regard to case.
    std::optional<std::string> header(std::string_view name) const;
};

// A request that produced no HTTP reply: no connection, a time limit ran out,
// the caller cancelled, or the peer answered something that is not HTTP.
class HttpError : public std::runtime_error {
public:
    enum class Kind { Transport, TimedOut, Cancelled, NotHttp };
    HttpError(Kind kind, std::string message, int curlCode = 0)
        : std::runtime_error(std::move(message)), kind_(kind), curlCode_(curlCode) {}
    Kind kind() const { return kind_; }
    int curlCode() const { return curlCode_; }

private:
    Kind kind_;
    int curlCode_;
};

struct HttpSessionConfig {
    // Longest time without any byte moving (connecting included).
    std::chrono::milliseconds requestTimeout{15000};
    // Longest time for the whole exchange.
    std::chrono::milliseconds resourceTimeout{20000};
    // "http://127.0.0.1:port" to send every request through that proxy
    // (CONNECT for https); empty for direct connections. Proxy settings of
    // the environment are never used.
    std::string proxy;
    // File of trusted CA certificates; empty for the system's store.
    std::string caBundle;
};

// The only HTTP client of the code base. Stateless between requests: no
// cookies, no cache, no credentials (an ephemeral session).
class HttpSession {
public:
    HttpSession() = default;
    explicit HttpSession(HttpSessionConfig config) : config_(std::move(config)) {}

    const HttpSessionConfig& config() const { return config_; }

    // Blocks until the reply is complete. Throws HttpError when there is none;
    // any status, 4xx and 5xx included, is a reply. A header name or value
    // that is not header text is refused before anything is sent (HttpError
    // Transport, curl code CURLE_BAD_FUNCTION_ARGUMENT).
    HttpResponse send(const HttpRequest& request, std::stop_token stop = {}) const;

private:
    HttpSessionConfig config_;
};

// Percent-encodes everything except ASCII letters and digits.
std::string percentEncodeAlnum(std::string_view text);
// One path segment: everything but the unreserved characters of RFC 3986
// (ASCII letters, digits, "-", ".", "_", "~") is percent-encoded, so the text
// can neither reach another segment nor add a query. A segment that is
// exactly "." or ".." has its dots encoded as well.
std::string percentEncodePathSegment(std::string_view text);

}  // namespace kavri
