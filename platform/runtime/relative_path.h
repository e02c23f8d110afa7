#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kavri {

// Paths below a root folder (an image's mount point, a bundle), judged by
// their text alone, before anything is touched on disk.
class RelativePath {
public:
    // The components of `path`, "." and empty ones dropped; nothing when the
    // path is absolute or has a ".." component.
    static std::optional<std::vector<std::string>> components(std::string_view path);
    // Whether a symbolic link at `link` (its components below the root) whose
    // target is `target` leads to a place below the root.
    static bool linkStaysInside(std::vector<std::string> link, std::string_view target);
    // The components joined with "/".
    static std::string joined(const std::vector<std::string>& parts);
};

}  // namespace kavri
