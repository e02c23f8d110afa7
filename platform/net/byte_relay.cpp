#include "platform/net/byte_relay.h"

#include <errno.h>
#include <poll.h>

#include <array>

#include "platform/net/net_error.h"

namespace kavri {

void ByteRelay::run(TcpSocket& client, TcpSocket& upstream, const Hooks& hooks) {
    std::array<char, 16 * 1024> buffer{};
    bool clientOpen = true;  // still reading from the client
    try {
        for (;;) {
            pollfd fds[2];
            nfds_t count = 0;
            fds[count++] = pollfd{upstream.fd(), POLLIN, 0};
            if (clientOpen) fds[count++] = pollfd{client.fd(), POLLIN, 0};
            const int r = ::poll(fds, count, -1);
            if (r < 0) {
                if (errno == EINTR) continue;
                return;
            }
            for (nfds_t i = 0; i < count; ++i) {
                if (fds[i].revents == 0) continue;
                const bool fromUpstream = fds[i].fd == upstream.fd();
                if (hooks.beforeMove && !hooks.beforeMove()) return;
                TcpSocket& from = fromUpstream ? upstream : client;
                TcpSocket& to = fromUpstream ? client : upstream;
                const std::size_t n = from.readSome(buffer.data(), buffer.size());
                if (n == 0) {
                    to.shutdownWrite();
                    if (fromUpstream) return;  // the reply is complete
                    clientOpen = false;
                    continue;
                }
                to.writeAll(std::string_view(buffer.data(), n));
                const auto& hook = fromUpstream ? hooks.onDownload : hooks.onUpload;
                if (hook) hook(n);
            }
        }
    } catch (const NetError&) {
        // A reset or broken pipe ends the relay like an end of stream.
    }
}

}  // namespace kavri
