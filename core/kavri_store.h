#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/plist_value.h"

namespace kavri {

// The key/value store shared by the app and the extension: one binary
// property list ("shared.plist") in the shared directory, read through a cache
// keyed on the file's modification time and written under an in-process mutex
// plus an exclusive flock on "shared.lock", replaced atomically on every write.
// Both programs run as the same user: the directory is 0700, its files 0600.
class KavriStore {
public:
    // The process's store over KavriStore::directory().
    static KavriStore& shared();
    // The shared directory, chosen once per process: KAVRI_SHARED_DIR when
    // set (created 0700 when missing), else ownDirectory().
    static const std::filesystem::path& directory();
    // "shared" in the user's data folder ($XDG_DATA_HOME/kavri/shared, else
    // ~/.local/share/kavri/shared), created 0700 with any missing parents; a
    // folder of the user's already there is made 0700. Resolved on each call.
    static std::filesystem::path ownDirectory();
    // Where the shared directory lives on macOS. Nothing here creates or
    // uses them: on this system the folder is the user's own.
    static constexpr const char* macDirectories[] = {"/Library/Application Support/Kavri", "/Users/Shared/Kavri"};

    // A store over another directory (tests, tools).
    explicit KavriStore(std::filesystem::path directory);
    KavriStore(const KavriStore&) = delete;
    KavriStore& operator=(const KavriStore&) = delete;

    const std::filesystem::path& fileURL() const { return fileURL_; }
    const std::filesystem::path& lockPath() const { return lockPath_; }

    std::optional<PlistValue> object(std::string_view key);
    std::optional<std::string> string(std::string_view key);
    std::optional<std::string> data(std::string_view key);  // the bytes of a data value
    bool boolValue(std::string_view key);
    std::int64_t integer(std::string_view key);
    double doubleValue(std::string_view key);

    // One locked read-modify-write each; std::nullopt removes the key. A
    // write that changes nothing (the value already stored, a key already
    // absent) leaves the file as it is.
    void set(std::string_view key, std::optional<PlistValue> value);
    void removeObject(std::string_view key);
    // Several keys in one locked read-modify-write: the file is replaced once
    // for all of them, or not at all when none changes.
    using Changes = std::vector<std::pair<std::string, std::optional<PlistValue>>>;
    void setAll(const Changes& changes);

    // The whole current contents.
    PlistValue::Dict snapshot();

private:
    // What identifies one version of the store file: every write replaces the
    // file (new inode) and changes its modification time.
    struct Stamp {
        std::uint64_t device = 0, inode = 0;
        std::int64_t mtimeNs = 0, size = 0;
        bool operator==(const Stamp&) const = default;
    };
    enum class LoadStatus { ok, missing, unreadable, corrupt };
    struct Loaded {
        LoadStatus status;
        PlistValue::Dict dict;
    };

    Loaded load() const;
    std::optional<Stamp> fileStamp() const;
    void mutate(const Changes& changes);

    std::filesystem::path directory_;
    std::filesystem::path fileURL_;
    std::filesystem::path lockPath_;
    std::mutex writeMutex_;  // one write at a time in this process, held across its fsyncs
    std::mutex mutex_;       // guards cache_ and cacheStamp_ only
    PlistValue::Dict cache_;
    std::optional<Stamp> cacheStamp_;
};

}  // namespace kavri
