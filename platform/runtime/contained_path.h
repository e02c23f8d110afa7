#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kavri {

// Where a path below a root folder (an image's mount point, a bundle) leads
// on disk once every symbolic link on its way is followed, with the root as
// the top: what RelativePath judges from a link's text alone, resolved
// against the links actually in place. Links are read, never followed by the
// system, so a link can never carry the walk out of the root unseen.
class ContainedPath {
public:
    // At most this many links are followed for one path (as the system does).
    static constexpr int maxLinks = 40;

    // The components below the root that `path` (components below the root
    // held open as `rootFd`) leads to, every link on the way followed,
    // the last component's too. Nothing when the path leaves the root (a
    // ".." above it, an absolute link target), meets more than maxLinks
    // links or a link that cannot be read. A missing component ends the
    // lookup on disk: what follows it is taken as text.
    static std::optional<std::vector<std::string>> resolve(int rootFd, const std::vector<std::string>& path);
};

}  // namespace kavri
