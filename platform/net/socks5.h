#pragma once

#include <optional>
#include <string>

#include "platform/net/endpoint.h"
#include "platform/net/tcp_socket.h"

namespace kavri {

// The SOCKS version 5 CONNECT exchange without authentication, both sides.
class Socks5 {
public:
    // Client: asks the server on `socket` to open a stream to `to` (sent as
    // a domain name unless it is an address). Throws NetError on refusal.
    static void connect(TcpSocket& socket, const Endpoint& to);

    // Server: reads the greeting (it begins with `initial`, bytes already
    // read) and the CONNECT request; answers the greeting. Nothing when the
    // client speaks something else or wants authentication.
    static std::optional<Endpoint> readConnectRequest(TcpSocket& socket, std::string initial);
    // Server: the reply to the CONNECT request.
    static void reply(TcpSocket& socket, bool succeeded);
};

}  // namespace kavri
