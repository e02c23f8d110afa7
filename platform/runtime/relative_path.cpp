#include "platform/runtime/relative_path.h"

#include <algorithm>

namespace kavri {

namespace {

// Calls `each` with every component of `path` between slashes.
template <class F>
void forEachComponent(std::string_view path, F each) {
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t slash = std::min(path.find('/', start), path.size());
        each(path.substr(start, slash - start));
        start = slash + 1;
    }
}

}  // namespace

std::optional<std::vector<std::string>> RelativePath::components(std::string_view path) {
    if (path.empty() || path.front() == '/') return std::nullopt;
    std::vector<std::string> parts;
    bool climbs = false;
    forEachComponent(path, [&](std::string_view part) {
        if (part == "..") climbs = true;
        if (!part.empty() && part != ".") parts.emplace_back(part);
    });
    if (climbs) return std::nullopt;
    return parts;
}

bool RelativePath::linkStaysInside(std::vector<std::string> link, std::string_view target) {
    if (link.empty() || target.empty() || target.front() == '/') return false;
    link.pop_back();  // the link's own folder
    bool outside = false;
    forEachComponent(target, [&](std::string_view part) {
        if (part == "..") {
            if (link.empty()) outside = true;
            else link.pop_back();
        } else if (!part.empty() && part != ".") {
            link.emplace_back(part);
        }
    });
    return !outside;
}

std::string RelativePath::joined(const std::vector<std::string>& parts) {
    std::string out;
    for (const auto& p : parts) out += (out.empty() ? "" : "/") + p;
    return out;
}

}  // namespace kavri
