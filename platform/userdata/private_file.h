#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace kavri {

// Small files that only their owner may read (mode 0600): read whole,
// replaced atomically, and guarded across processes by a lock file. Every
// file of the user's folders and of the shared directory is written here, so
// none of them follows a symbolic link someone planted in their place.
class PrivateFile {
public:
    // The whole content of a regular file; std::nullopt with `error` = errno
    // when it cannot be read (ENOENT when the file does not exist, EINVAL
    // when it is not a regular file: a folder, a pipe, a device).
    static std::optional<std::string> read(const std::filesystem::path& file, int& error);

    // Writes `bytes` to a new temporary file beside `file` ("<file>.tmp-<pid>",
    // or that name with "-1", "-2", ... when it is taken), mode 0600, flushes
    // it to disk, renames it over `file` and flushes the folder. The temporary
    // file is always created anew: a link or a file already at its name is
    // never opened. Returns 0, or the errno of the step that failed; on
    // failure `file` is left as it was and the temporary file is removed.
    static int writeAtomically(const std::filesystem::path& file, std::string_view bytes);
    // How many temporary names one write tries before it fails with EEXIST.
    static constexpr int temporaryNames = 16;

    // Holds an exclusive flock on a lock file (created 0600) for its life.
    // Without the lock file (no permission, a link or something other than a
    // regular file at its name) it holds nothing: the caller still has its
    // in-process mutex.
    class Lock {
    public:
        explicit Lock(const std::filesystem::path& lockFile);
        ~Lock();
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;
        bool held() const { return fd_ >= 0; }

    private:
        int fd_ = -1;
    };
};

}  // namespace kavri
