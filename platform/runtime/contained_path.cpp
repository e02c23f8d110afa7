#include "platform/runtime/contained_path.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <string_view>

#include "platform/runtime/relative_path.h"

namespace kavri {

std::optional<std::vector<std::string>> ContainedPath::resolve(int rootFd, const std::vector<std::string>& path) {
    std::vector<std::string> reached;  // below the root, no link among them
    std::deque<std::string> pending(path.begin(), path.end());
    int links = 0;
    while (!pending.empty()) {
        std::string part = std::move(pending.front());
        pending.pop_front();
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (reached.empty()) return std::nullopt;  // above the root
            reached.pop_back();
            continue;
        }
        reached.push_back(std::move(part));
        const std::string at = RelativePath::joined(reached);
        struct stat st {};
        if (::fstatat(rootFd, at.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            // Nothing there (or not below a folder): no link to follow; the
            // rest is judged as text, and every later step is looked up again.
            if (errno == ENOENT || errno == ENOTDIR) continue;
            return std::nullopt;
        }
        if (!S_ISLNK(st.st_mode)) continue;
        if (++links > maxLinks) return std::nullopt;
        char target[PATH_MAX];
        const ssize_t n = ::readlinkat(rootFd, at.c_str(), target, sizeof target);
        if (n <= 0 || static_cast<std::size_t>(n) >= sizeof target || target[0] == '/') return std::nullopt;
        reached.pop_back();  // the link is replaced by where it points
        const std::string_view text(target, static_cast<std::size_t>(n));
        std::vector<std::string> parts;
        for (std::size_t start = 0; start <= text.size();) {
            const std::size_t slash = std::min(text.find('/', start), text.size());
            parts.emplace_back(text.substr(start, slash - start));
            start = slash + 1;
        }
        pending.insert(pending.begin(), parts.begin(), parts.end());
    }
    return reached;
}

}  // namespace kavri
