#include "core/kavri_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "core/property_list.h"
#include "platform/runtime/log.h"

namespace kavri {
namespace fs = std::filesystem;

namespace {

constexpr const char* kFileName = "shared.plist";
constexpr const char* kLockName = "shared.lock";
constexpr const char* kCorruptName = "shared.plist.corrupt";

// Closes a descriptor on every path out.
struct Fd {
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
};

bool writeAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// The platform's text-to-boolean rule: after leading white space, an optional
// sign and leading zeros, the first character decides.
bool textToBool(const std::string& s) {
    std::size_t i = 0;
    while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    while (i < s.size() && s[i] == '0') ++i;
    if (i >= s.size()) return false;
    const char c = s[i];
    return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

// A whole decimal number with an optional sign and nothing else, else 0.
std::int64_t textToInteger(const std::string& s) {
    std::string_view v(s);
    if (!v.empty() && v.front() == '+') v.remove_prefix(1);
    if (v.empty() || v.front() == '+') return 0;
    std::int64_t out = 0;
    const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), out);
    if (ec != std::errc() || end != v.data() + v.size()) return 0;
    return out;
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
            std::error_code ec;
            fs::create_directories(env, ec);
            return fs::path(env);
        }
        std::error_code ec;
        return chooseDirectory({"/Library/Application Support/Kavri", "/Users/Shared/Kavri"},
                               fs::temp_directory_path(ec));
    }();
    return dir;
}

fs::path KavriStore::chooseDirectory(const std::vector<fs::path>& candidates, const fs::path& tempDir) {
    std::error_code ec;
    for (const auto& c : candidates)
        if (fs::exists(fs::symlink_status(c, ec))) return c;
    for (const auto& c : candidates) {
        ec.clear();
        fs::create_directories(c, ec);
        if (!ec && fs::is_directory(c, ec)) {
            fs::permissions(c, fs::perms::all, fs::perm_options::replace, ec);
            return c;
        }
    }
    fs::path fallback = tempDir / "kavri-shared";
    fs::create_directories(fallback, ec);
    return fallback;
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
    Fd fd(::open(fileURL_.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.fd < 0) return {errno == ENOENT ? LoadStatus::missing : LoadStatus::unreadable, {}};
    std::string bytes;
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd.fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            return {LoadStatus::unreadable, {}};  // a directory lands here too
        }
        if (n == 0) break;
        bytes.append(buf, static_cast<std::size_t>(n));
    }
    if (bytes.empty()) return {LoadStatus::missing, {}};
    auto value = PropertyList::decode(bytes);
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
    if (auto s = v->get<std::string>()) return textToInteger(*s);
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
    std::lock_guard lock(mutex_);

    Fd lockFd(::open(lockPath_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666));
    if (lockFd.fd >= 0) {
        ::fchmod(lockFd.fd, 0666);
        while (::flock(lockFd.fd, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    // The descriptor's close releases the file lock on every path out.

    Loaded current = load();
    if (current.status == LoadStatus::unreadable) {
        Log::line("[Kavri] !! shared store: cannot read " + fileURL_.string() + " (" + std::strerror(errno) +
                  "), write of " + keys + " dropped");
        return;
    }
    if (current.status == LoadStatus::corrupt) {
        // An earlier corrupt file stays where it is: this one takes the
        // next free name (".1", ".2", ...; the last is reused past 99).
        fs::path aside = directory_ / kCorruptName;
        std::error_code ec;
        for (int n = 1; n <= 99 && fs::symlink_status(aside, ec).type() != fs::file_type::not_found; ++n)
            aside = directory_ / (std::string(kCorruptName) + "." + std::to_string(n));
        if (::rename(fileURL_.c_str(), aside.c_str()) == 0)
            Log::line("[Kavri] !! shared store: unreadable contents moved to " + aside.string());
        else {
            Log::line("[Kavri] !! shared store: cannot move corrupt file aside, write of " + keys + " dropped");
            return;
        }
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
        cache_ = std::move(dict);
        cacheStamp_ = fileStamp();
        return;
    }

    const auto bytes = PropertyList::encodeBinary(PlistValue(dict));
    if (!bytes) {
        Log::line("[Kavri] !! shared store: value of " + keys + " cannot be stored");
        return;
    }

    const fs::path tmp = directory_ / ("shared.plist.tmp-" + std::to_string(::getpid()));
    {
        Fd out(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
        if (out.fd < 0) return;
        const bool ok = writeAll(out.fd, *bytes) && ::fsync(out.fd) == 0;
        ::fchmod(out.fd, 0666);
        if (!ok) {
            ::unlink(tmp.c_str());
            return;
        }
    }
    if (::rename(tmp.c_str(), fileURL_.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return;
    }
    {
        // Make the rename itself durable.
        Fd dir(::open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (dir.fd >= 0) ::fsync(dir.fd);
    }
    ::chmod(fileURL_.c_str(), 0666);
    cache_ = std::move(dict);
    cacheStamp_ = fileStamp();
}

}  // namespace kavri
