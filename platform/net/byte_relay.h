#pragma once

#include <cstddef>
#include <functional>

#include "platform/net/tcp_socket.h"

namespace kavri {

// Moves bytes both ways between a client and its upstream until the upstream
// ends, either side fails, or someone shuts one of them down. Blocks in
// poll() without a time-out, so an idle relay costs nothing. The caller
// closes both sockets afterwards.
class ByteRelay {
public:
    enum class End {
        upstreamEnded,  // end of stream, reset or failure on the upstream's side
        clientFailed,   // the client reset or could not be written to
        refused,        // beforeMove said no
    };

    struct Hooks {
        std::function<void(std::size_t)> onUpload;    // client -> upstream
        std::function<void(std::size_t)> onDownload;  // upstream -> client
        // Called before bytes are moved; may block (a stalled relay). False
        // ends the relay.
        std::function<bool()> beforeMove;
    };

    static End run(TcpSocket& client, TcpSocket& upstream, const Hooks& hooks);
};

}  // namespace kavri
