#include "platform/ne/peer_credentials.h"

#include <sys/socket.h>
#include <unistd.h>

namespace kavri {

std::optional<PeerCredentials> PeerCredentials::of(int fd) {
    struct ucred cred {};
    socklen_t len = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof cred) return std::nullopt;
    return PeerCredentials{cred.pid, cred.uid, cred.gid};
}

bool PeerCredentials::isTrusted(uid_t peerUid, uid_t ownUid) { return peerUid == ownUid || peerUid == 0; }

bool PeerCredentials::isTrusted() const { return isTrusted(uid, geteuid()); }

}  // namespace kavri
