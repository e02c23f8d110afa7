#pragma once

#include <sys/types.h>

#include <optional>

namespace kavri {

// Who is on the other end of a Unix stream socket, as the kernel recorded it
// when the connection was made (SO_PEERCRED); it cannot be forged by the peer.
struct PeerCredentials {
    pid_t pid = 0;
    uid_t uid = 0;
    gid_t gid = 0;

    // The credentials of the peer of `fd`; nothing when the kernel gives none.
    static std::optional<PeerCredentials> of(int fd);

    // The tunnel's control socket sits in a directory open to everyone, so the
    // socket file's mode is no guard: only a peer running as `ownUid` or as
    // root may talk to us.
    static bool isTrusted(uid_t peerUid, uid_t ownUid);
    bool isTrusted() const;
};

}  // namespace kavri
