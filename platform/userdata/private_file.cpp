#include "platform/userdata/private_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace kavri {
namespace {

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// A new file at the first free temporary name beside `file`: O_EXCL refuses
// any name that exists, a dangling link included.
int createTemporary(const std::filesystem::path& file, std::filesystem::path& temp) {
    const std::string base = file.string() + ".tmp-" + std::to_string(::getpid());
    for (int n = 0; n < PrivateFile::temporaryNames; ++n) {
        temp = n == 0 ? base : base + "-" + std::to_string(n);
        const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
}

}  // namespace

std::optional<std::string> PrivateFile::read(const std::filesystem::path& file, int& error) {
    error = 0;
    // Non-blocking so that a pipe at the name cannot hold the reader.
    const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = errno;
        return std::nullopt;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = st.st_mode == 0 ? errno : EINVAL;
        ::close(fd);
        return std::nullopt;
    }
    std::string out;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            error = errno;
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0) break;
        out.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return out;
}

int PrivateFile::writeAtomically(const std::filesystem::path& file, std::string_view bytes) {
    std::filesystem::path temp;
    const int fd = createTemporary(file, temp);
    if (fd < 0) return errno;
    int failure = 0;
    if (::fchmod(fd, 0600) != 0 || !writeAll(fd, bytes) || ::fsync(fd) != 0) failure = errno;
    if (::close(fd) != 0 && failure == 0) failure = errno;
    if (failure == 0 && ::rename(temp.c_str(), file.c_str()) != 0) failure = errno;
    if (failure != 0) {
        ::unlink(temp.c_str());
        return failure;
    }
    // Make the rename itself durable.
    const std::filesystem::path folder = file.has_parent_path() ? file.parent_path() : ".";
    if (const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return 0;
}

PrivateFile::Lock::Lock(const std::filesystem::path& lockFile) {
    fd_ = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd_ < 0) return;
    struct stat st {};
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
        ::close(fd_);
        fd_ = -1;
        return;
    }
    (void)::fchmod(fd_, 0600);  // a lock file left by an older version may be wider
    while (::flock(fd_, LOCK_EX) != 0) {
        if (errno == EINTR) continue;
        ::close(fd_);
        fd_ = -1;
        return;
    }
}

PrivateFile::Lock::~Lock() {
    if (fd_ < 0) return;
    ::flock(fd_, LOCK_UN);
    ::close(fd_);
}

}  // namespace kavri
