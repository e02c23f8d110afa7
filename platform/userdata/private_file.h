#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace kavri {

// Small files that only their owner may read (mode 0600): read whole,
// replaced atomically, and guarded across processes by a lock file.
class PrivateFile {
public:
    // The whole content; std::nullopt with `error` = errno when it cannot be
    // read (ENOENT when the file does not exist).
    static std::optional<std::string> read(const std::filesystem::path& file, int& error);

    // Writes `bytes` to "<file>.tmp-<pid>" (mode 0600), flushes it to disk,
    // renames it over `file` and flushes the folder. Returns 0, or the errno
    // of the step that failed; on failure `file` is left as it was and the
    // temporary file is removed.
    static int writeAtomically(const std::filesystem::path& file, std::string_view bytes);

    // Holds an exclusive flock on a lock file (created 0600) for its life.
    // Without the lock file (no permission, ...) it holds nothing: the caller
    // still has its in-process mutex.
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
