#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "platform/http/http_session.h"
#include "platform/net/endpoint.h"
#include "platform/net/tcp_socket.h"

namespace kavri {

// The head of one request to an HTTP forward proxy: "CONNECT host:port" or
// an absolute-form request ("GET http://host/path HTTP/1.1").
struct ProxyRequestHead {
    static constexpr std::size_t maxSize = 64 * 1024;

    std::string method;
    std::string target;
    std::string version;
    HttpHeaders headers;
    std::string body;  // bytes that followed the head in the same reads

    // Reads a head that begins with `initial` (bytes already read). Nothing
    // when the stream ends first, the head exceeds maxSize or is malformed.
    static std::optional<ProxyRequestHead> read(TcpSocket& socket, std::string initial = {});
    static std::optional<ProxyRequestHead> parse(std::string_view head);

    bool isConnect() const;
    // Where the request goes: the CONNECT authority, or the host and port of
    // an absolute "http://" target. Nothing for other forms.
    std::optional<Endpoint> destination() const;
    // Path and query of an absolute target ("/" when it has none).
    std::string originTarget() const;
    // The request to send upstream: in origin form for the origin server, or
    // unchanged for a further proxy; proxy headers dropped, one request per
    // connection ("Connection: close"); followed by the body bytes read so far.
    std::string forward(bool keepAbsoluteForm) const;
};

}  // namespace kavri
