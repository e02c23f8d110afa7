#include "platform/userdata/user_data_directory.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace kavri {
namespace {

std::filesystem::path homeDirectory() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir && *pw->pw_dir) return pw->pw_dir;
    return std::filesystem::temp_directory_path() / ("kavri-home-" + std::to_string(getuid()));
}

}  // namespace

std::filesystem::path UserDataDirectory::path() {
    if (const char* dir = std::getenv("KAVRI_DATA_DIR"); dir && *dir) return dir;
    // XDG: a relative XDG_DATA_HOME is invalid and must be ignored.
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg == '/') {
        return std::filesystem::path(xdg) / "kavri";
    }
    return homeDirectory() / ".local" / "share" / "kavri";
}

std::filesystem::path UserDataDirectory::configPath() {
    if (const char* dir = std::getenv("KAVRI_CONFIG_DIR"); dir && *dir) return dir;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg == '/') {
        return std::filesystem::path(xdg) / "kavri";
    }
    return homeDirectory() / ".config" / "kavri";
}

std::filesystem::path UserDataDirectory::runtimePath() {
    if (const char* xdg = std::getenv("XDG_RUNTIME_DIR"); xdg && *xdg == '/' && isPrivate(xdg)) return xdg;
    return path() / "run";
}

bool UserDataDirectory::ensure(const std::filesystem::path& dir) {
    std::error_code ec;
    if (std::filesystem::is_directory(dir, ec)) return true;
    std::filesystem::path partial;
    for (const auto& part : dir) {
        partial /= part;
        if (std::filesystem::is_directory(partial, ec)) continue;
        if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    return std::filesystem::is_directory(dir, ec);
}

bool UserDataDirectory::isPrivate(const std::filesystem::path& dir) {
    struct stat st {};
    return ::lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
           (st.st_mode & 077) == 0;
}

bool UserDataDirectory::ensurePrivate(const std::filesystem::path& dir) { return ensure(dir) && isPrivate(dir); }

}  // namespace kavri
