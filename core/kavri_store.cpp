#include "core/kavri_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "core/property_list.h"
#include "core/utf8.h"
#include "platform/runtime/decimal.h"
#include "platform/runtime/log.h"
#include "platform/userdata/private_file.h"
#include "platform/userdata/user_data_directory.h"

namespace kavri {
namespace fs = std::filesystem;

namespace {

constexpr const char* kFileName = "shared.plist";
constexpr const char* kLockName = "shared.lock";
constexpr const char* kCorruptName = "shared.plist.corrupt";

// The platform's text-to-boolean rule: after leading white space, an optional
// sign and leading zeros, the first character decides.
bool textToBool(const std::string& s) {
    const std::string_view v = Utf8::trimmedWhitespace(s);
    std::size_t i = 0;
    if (i < v.size() && (v[i] == '+' || v[i] == '-')) ++i;
    while (i < v.size() && v[i] == '0') ++i;
    if (i >= v.size()) return false;
    const char c = v[i];
    return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

std::int64_t doubleToInteger(double d) {
    if (std::isnan(d)) return 0;
    if (d >= 9.2233720368547758e18) return std::numeric_limits<std::int64_t>::max();
    if (d <= -9.2233720368547758e18) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(d);
}

}  // namespace

KavriStore& KavriStore::shared() {
    static KavriStore store(directory());
    return store;
}

const fs::path& KavriStore::directory() {
    static const fs::path dir = [] {
        if (const char* env = std::getenv("KAVRI_SHARED_DIR"); env && *env) {
            UserDataDirectory::ensure(env);
            return fs::path(env);
        }
        return ownDirectory();
    }();
    return dir;
}

fs::path KavriStore::ownDirectory() {
    const fs::path dir = UserDataDirectory::path() / "shared";
    UserDataDirectory::ensure(dir);
    // A folder left by an older version may be open to others; one that is
    // not the user's own (or is a link) is left alone.
    struct stat st {};
    if (::lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
        (st.st_mode & 07777) != 0700)
        ::chmod(dir.c_str(), 0700);
    return dir;
}

KavriStore::KavriStore(fs::path directory)
    : directory_(std::move(directory)), fileURL_(directory_ / kFileName), lockPath_(directory_ / kLockName) {}

std::optional<KavriStore::Stamp> KavriStore::fileStamp() const {
    struct stat st {};
    if (::stat(fileURL_.c_str(), &st) != 0) return std::nullopt;
    return Stamp{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
                 static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec,
                 static_cast<std::int64_t>(st.st_size)};
}

KavriStore::Loaded KavriStore::load() const {
    int error = 0;
    const auto bytes = PrivateFile::read(fileURL_, error);
    if (!bytes) return {error == ENOENT ? LoadStatus::missing : LoadStatus::unreadable, {}};
    if (bytes->empty()) return {LoadStatus::missing, {}};
    auto value = PropertyList::decode(*bytes);
    if (!value || !value->is<PlistValue::Dict>()) return {LoadStatus::corrupt, {}};
    return {LoadStatus::ok, *value->get<PlistValue::Dict>()};
}

PlistValue::Dict KavriStore::snapshot() {
    std::lock_guard lock(mutex_);
    const auto stamp = fileStamp();
    if (stamp && cacheStamp_ && *stamp == *cacheStamp_) return cache_;
    cache_ = load().dict;
    cacheStamp_ = stamp;
    return cache_;
}

std::optional<PlistValue> KavriStore::object(std::string_view key) {
    // Looks the key up under the lock rather than copying the whole snapshot.
    std::lock_guard lock(mutex_);
    const auto stamp = fileStamp();
    if (!(stamp && cacheStamp_ && *stamp == *cacheStamp_)) {
        cache_ = load().dict;
        cacheStamp_ = stamp;
    }
    const auto it = cache_.find(std::string(key));
    if (it == cache_.end()) return std::nullopt;
    return it->second;
}

std::optional<std::string> KavriStore::string(std::string_view key) {
    auto v = object(key);
    if (v && v->is<std::string>()) return *v->get<std::string>();
    return std::nullopt;
}

std::optional<std::string> KavriStore::data(std::string_view key) {
    auto v = object(key);
    if (v && v->is<Data>()) return v->get<Data>()->bytes;
    return std::nullopt;
}

bool KavriStore::boolValue(std::string_view key) {
    auto v = object(key);
    if (!v) return false;
    if (auto b = v->get<bool>()) return *b;
    if (auto i = v->get<std::int64_t>()) return *i != 0;
    if (auto d = v->get<double>()) return *d != 0.0;
    if (auto s = v->get<std::string>()) return textToBool(*s);
    return false;
}

std::int64_t KavriStore::integer(std::string_view key) {
    auto v = object(key);
    if (!v) return 0;
    if (auto i = v->get<std::int64_t>()) return *i;
    if (auto d = v->get<double>()) return doubleToInteger(*d);
    if (auto b = v->get<bool>()) return *b ? 1 : 0;
    if (auto s = v->get<std::string>()) return Decimal::int64(*s).value_or(0);
    return 0;
}

double KavriStore::doubleValue(std::string_view key) {
    auto v = object(key);
    if (!v) return 0;
    if (auto d = v->get<double>()) return *d;
    if (auto i = v->get<std::int64_t>()) return static_cast<double>(*i);
    if (auto b = v->get<bool>()) return *b ? 1.0 : 0.0;
    return 0;
}

void KavriStore::set(std::string_view key, std::optional<PlistValue> value) {
    mutate({{std::string(key), std::move(value)}});
}

void KavriStore::removeObject(std::string_view key) { mutate({{std::string(key), std::nullopt}}); }

void KavriStore::setAll(const Changes& changes) { mutate(changes); }

void KavriStore::mutate(const Changes& changes) {
    if (changes.empty()) return;
    // The keys a failure names, each quoted.
    std::string keys;
    for (const auto& change : changes) keys += (keys.empty() ? "\"" : ", \"") + change.first + "\"";
    // Writers queue here and on the file lock; readers take only `mutex_`,
    // so they never wait for a write's file lock or fsyncs.
    std::lock_guard writing(writeMutex_);
    // Released on every path out; without the lock file the write still
    // happens, serialised in this process only.
    const PrivateFile::Lock fileLock(lockPath_);

    Loaded current = load();
    if (current.status == LoadStatus::unreadable) {
        Log::line("[Kavri] !! shared store: cannot read " + fileURL_.string() + " (" + std::strerror(errno) +
                  "), write of " + keys + " dropped");
        return;
    }

    PlistValue::Dict dict = std::move(current.dict);
    bool changed = current.status == LoadStatus::corrupt;  // the file must be replaced in any case
    for (const auto& [name, value] : changes) {
        const auto it = dict.find(name);
        if (value) {
            if (it != dict.end() && it->second == *value) continue;
            dict.insert_or_assign(name, *value);
        } else {
            if (it == dict.end()) continue;
            dict.erase(it);
        }
        changed = true;
    }
    if (!changed) {
        // Already as asked: the file stays, and so does every reader's cache.
        std::lock_guard lock(mutex_);
        cache_ = std::move(dict);
        cacheStamp_ = fileStamp();
        return;
    }

    const auto bytes = PropertyList::encodeBinary(PlistValue(dict));
    if (!bytes) {
        Log::line("[Kavri] !! shared store: value of " + keys + " cannot be stored");
        return;
    }

    // A corrupt file is kept under another name, linked there only now that
    // its replacement is ready, and unlinked again if the replacement fails:
    // the store file is never missing. An earlier corrupt file stays where it
    // is: this one takes the next free name (".1", ".2", ...; past 99 the
    // write is dropped).
    std::optional<fs::path> aside;
    if (current.status == LoadStatus::corrupt) {
        for (int n = 0; n <= 99 && !aside; ++n) {
            const fs::path name = directory_ / (n == 0 ? std::string(kCorruptName)
                                                       : std::string(kCorruptName) + "." + std::to_string(n));
            if (::link(fileURL_.c_str(), name.c_str()) == 0)
                aside = name;
            else if (errno != EEXIST)
                break;
        }
        if (!aside) {
            Log::line("[Kavri] !! shared store: cannot keep the corrupt file aside, write of " + keys + " dropped");
            return;
        }
    }

    if (const int error = PrivateFile::writeAtomically(fileURL_, *bytes); error != 0) {
        if (aside) ::unlink(aside->c_str());
        Log::line("[Kavri] !! shared store: cannot write " + fileURL_.string() + " (" + std::strerror(error) +
                  "), write of " + keys + " dropped");
        return;
    }
    if (aside) Log::line("[Kavri] !! shared store: unreadable contents moved to " + aside->string());

    std::lock_guard lock(mutex_);
    cache_ = std::move(dict);
    cacheStamp_ = fileStamp();
}

}  // namespace kavri
