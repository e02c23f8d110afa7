#include "platform/net/byte_relay.h"

#include <errno.h>
#include <poll.h>

#include <array>

#include "platform/net/net_error.h"

namespace kavri {

ByteRelay::End ByteRelay::run(TcpSocket& client, TcpSocket& upstream, const Hooks& hooks) {
    std::array<char, 16 * 1024> buffer{};
    bool clientOpen = true;  // still reading from the client
    for (;;) {
        pollfd fds[2];
        nfds_t count = 0;
        fds[count++] = pollfd{upstream.fd(), POLLIN, 0};
        if (clientOpen) fds[count++] = pollfd{client.fd(), POLLIN, 0};
        if (::poll(fds, count, -1) < 0) {
            if (errno == EINTR) continue;
            return End::upstreamEnded;
        }
        for (nfds_t i = 0; i < count; ++i) {
            if (fds[i].revents == 0) continue;
            const bool fromUpstream = fds[i].fd == upstream.fd();
            if (hooks.beforeMove && !hooks.beforeMove()) return End::refused;
            TcpSocket& from = fromUpstream ? upstream : client;
            TcpSocket& to = fromUpstream ? client : upstream;
            std::size_t n = 0;
            try {
                n = from.readSome(buffer.data(), buffer.size());
            } catch (const NetError&) {
                return fromUpstream ? End::upstreamEnded : End::clientFailed;
            }
            if (n == 0) {
                if (fromUpstream) return End::upstreamEnded;
                upstream.shutdownWrite();  // the request is complete; the reply may follow
                clientOpen = false;
                continue;
            }
            try {
                to.writeAll(std::string_view(buffer.data(), n));
            } catch (const NetError&) {
                return fromUpstream ? End::clientFailed : End::upstreamEnded;
            }
            const auto& hook = fromUpstream ? hooks.onDownload : hooks.onUpload;
            if (hook) hook(n);
        }
    }
}

}  // namespace kavri
