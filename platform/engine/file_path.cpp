#include "platform/engine/file_path.h"

#include <mutex>

namespace kavri {
namespace {

std::mutex& pathMutex() {
    static std::mutex m;
    return m;
}

std::filesystem::path& storedPath() {
    static std::filesystem::path p;
    return p;
}

}  // namespace

std::filesystem::path FilePath::sharedDirectory() {
    std::lock_guard lock(pathMutex());
    return storedPath();
}

void FilePath::setSharedDirectory(std::filesystem::path directory) {
    std::lock_guard lock(pathMutex());
    storedPath() = std::move(directory);
}

}  // namespace kavri
