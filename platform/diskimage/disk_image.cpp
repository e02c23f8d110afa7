#include "platform/diskimage/disk_image.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

#include "platform/runtime/c_handle.h"
#include "platform/runtime/contained_path.h"
#include "platform/runtime/file_descriptor.h"
#include "platform/runtime/relative_path.h"

namespace kavri {

namespace fs = std::filesystem;

namespace {

using Reader = CHandle<archive, archive_read_free>;
using Writer = CHandle<archive, archive_write_free>;
using Entry = CHandle<archive_entry, archive_entry_free>;

[[noreturn]] void fail(const std::string& what) { throw DiskImage::Error(what); }

std::string errorOf(archive* a) {
    const char* text = archive_error_string(a);
    return text ? text : "unknown archive error";
}

// Gives the owner the right to change every folder below `root`, so that
// what is there can be removed, then removes it.
void removeTree(const fs::path& root) {
    std::error_code ec;
    if (fs::is_directory(fs::symlink_status(root, ec))) {
        fs::permissions(root, fs::perms::owner_all, fs::perm_options::add, ec);
        for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
             it.increment(ec)) {
            if (fs::is_directory(it->symlink_status(ec)))
                fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
        }
    }
    fs::remove_all(root, ec);
}

void emptyFolder(const fs::path& folder) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder, ec)) removeTree(e.path());
}

void addToImage(archive* out, const fs::path& source, const std::string& name) {
    struct stat st {};
    if (::lstat(source.c_str(), &st) != 0) fail("cannot read " + source.string());
    Entry entry(archive_entry_new());
    archive_entry_set_pathname(entry.get(), name.c_str());
    archive_entry_set_perm(entry.get(), st.st_mode & 0755);
    archive_entry_set_mtime(entry.get(), st.st_mtime, 0);
    std::string data;
    if (S_ISLNK(st.st_mode)) {
        archive_entry_set_filetype(entry.get(), AE_IFLNK);
        archive_entry_set_symlink(entry.get(), fs::read_symlink(source).c_str());
    } else if (S_ISDIR(st.st_mode)) {
        archive_entry_set_filetype(entry.get(), AE_IFDIR);
    } else if (S_ISREG(st.st_mode)) {
        archive_entry_set_filetype(entry.get(), AE_IFREG);
        std::ifstream in(source, std::ios::binary);
        data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (!in && !in.eof()) fail("cannot read " + source.string());
        archive_entry_set_size(entry.get(), static_cast<la_int64_t>(data.size()));
    } else {
        fail("not a file, folder or link: " + source.string());
    }
    if (archive_write_header(out, entry.get()) != ARCHIVE_OK) fail(errorOf(out));
    if (!data.empty() && archive_write_data(out, data.data(), data.size()) < 0) fail(errorOf(out));
    if (S_ISDIR(st.st_mode)) {
        std::vector<fs::path> children;
        for (const auto& e : fs::directory_iterator(source)) children.push_back(e.path());
        std::sort(children.begin(), children.end());
        for (const auto& child : children) addToImage(out, child, name + "/" + child.filename().string());
    }
}

// Every link, now that all are in place, must lead to a place below `root`,
// also where its way passes through other links.
void checkLinks(const fs::path& root, const std::vector<std::vector<std::string>>& links) {
    if (links.empty()) return;
    FileDescriptor top(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!top) fail("cannot open the mount point: " + root.string());
    for (const auto& link : links) {
        if (!ContainedPath::resolve(top.get(), link))
            fail("a link leads out of the image: " + RelativePath::joined(link));
    }
}

void unpack(const fs::path& image, const fs::path& root, const DiskImage::Limits& limits) {
    Reader in(archive_read_new());
    archive_read_support_filter_gzip(in.get());
    archive_read_support_format_tar(in.get());
    if (archive_read_open_filename(in.get(), image.c_str(), 65536) != ARCHIVE_OK) fail(errorOf(in.get()));

    Writer out(archive_write_disk_new());
    archive_write_disk_set_options(out.get(), ARCHIVE_EXTRACT_PERM | ARCHIVE_EXTRACT_TIME |
                                                  ARCHIVE_EXTRACT_SECURE_NODOTDOT | ARCHIVE_EXTRACT_SECURE_SYMLINKS |
                                                  ARCHIVE_EXTRACT_NO_OVERWRITE);
    std::vector<std::vector<std::string>> links;
    std::size_t entries = 0;
    std::uint64_t bytes = 0;   // all files' announced sizes so far
    la_int64_t announced = 0;  // the current file's
    for (;;) {
        archive_entry* entry = nullptr;
        const int r = archive_read_next_header(in.get(), &entry);
        if (r == ARCHIVE_EOF) break;
        if (r != ARCHIVE_OK) fail(errorOf(in.get()));
        const std::string name = archive_entry_pathname(entry) ? archive_entry_pathname(entry) : "";
        const auto parts = RelativePath::components(name);
        if (!parts) fail("an entry leads out of the image: " + name);
        if (parts->empty()) continue;  // the top level itself
        if (++entries > limits.maxEntries) fail("the image holds too many entries");
        if (parts->size() > limits.maxDepth) fail("an entry lies too deep: " + name);
        if (parts->front() == DiskImage::marker) fail("an entry has a reserved name: " + name);
        if (archive_entry_hardlink(entry)) fail("hard links are not allowed: " + name);
        const auto type = archive_entry_filetype(entry);
        if (type == AE_IFLNK) {
            const char* target = archive_entry_symlink(entry);
            if (!target || !RelativePath::linkStaysInside(*parts, target)) fail("a link leads out of the image: " + name);
            links.push_back(*parts);
        } else if (type == AE_IFREG) {
            // Counted as the entry announces itself (holes of a sparse file
            // too), before a byte of it is written.
            announced = archive_entry_size(entry);
            if (announced < 0 || static_cast<std::uint64_t>(announced) > limits.maxBytes - bytes)
                fail("the image unpacks to more than " + std::to_string(limits.maxBytes) + " bytes");
            bytes += static_cast<std::uint64_t>(announced);
        } else if (type != AE_IFDIR) {
            fail("not a file, folder or link: " + name);
        }
        archive_entry_set_pathname(entry, (root / RelativePath::joined(*parts)).c_str());
        archive_entry_set_perm(entry, archive_entry_perm(entry) & 0755);
        if (archive_write_header(out.get(), entry) != ARCHIVE_OK) fail(errorOf(out.get()));
        if (type == AE_IFREG) {
            const void* block = nullptr;
            size_t size = 0;
            la_int64_t offset = 0;
            for (;;) {
                const int d = archive_read_data_block(in.get(), &block, &size, &offset);
                if (d == ARCHIVE_EOF) break;
                if (d != ARCHIVE_OK) fail(errorOf(in.get()));
                if (offset < 0 || static_cast<std::uint64_t>(offset) + size > static_cast<std::uint64_t>(announced))
                    fail("an entry holds more than it announced: " + name);
                if (archive_write_data_block(out.get(), block, size, offset) != ARCHIVE_OK) fail(errorOf(out.get()));
            }
        }
        if (archive_write_finish_entry(out.get()) != ARCHIVE_OK) fail(errorOf(out.get()));
    }
    if (archive_write_close(out.get()) != ARCHIVE_OK) fail(errorOf(out.get()));
    // The compressed stream must end where its trailer says, not merely after
    // the last entry.
    if (archive_read_close(in.get()) != ARCHIVE_OK) fail(errorOf(in.get()));
    checkLinks(root, links);
}

}  // namespace

void DiskImage::create(const std::vector<fs::path>& items, const fs::path& image) {
    Writer out(archive_write_new());
    archive_write_add_filter_gzip(out.get());
    archive_write_set_format_pax_restricted(out.get());
    if (archive_write_open_filename(out.get(), image.c_str()) != ARCHIVE_OK) fail(errorOf(out.get()));
    for (const auto& item : items) addToImage(out.get(), item, item.filename().string());
    if (archive_write_close(out.get()) != ARCHIVE_OK) fail(errorOf(out.get()));
}

void DiskImage::attach(const fs::path& image, const fs::path& mountPoint) { attach(image, mountPoint, Limits{}); }

void DiskImage::attach(const fs::path& image, const fs::path& mountPoint, const Limits& limits) {
    std::error_code ec;
    fs::create_directories(mountPoint, ec);
    if (ec) fail("cannot make the mount point: " + ec.message());
    if (!fs::is_empty(mountPoint, ec) || ec) fail("the mount point is not an empty folder: " + mountPoint.string());
    // Absolute and free of links, so that no component of it counts as a
    // link met while unpacking.
    const fs::path root = fs::canonical(mountPoint, ec);
    if (ec) fail("cannot resolve the mount point: " + ec.message());
    {
        // A fresh file, never one planted in its place.
        FileDescriptor mark(::open((root / marker).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
        const std::string text = image.string() + "\n";
        if (!mark || ::write(mark.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            fail("cannot mark the mount point: " + mountPoint.string());
    }
    try {
        unpack(image, root, limits);
    } catch (...) {
        emptyFolder(root);
        throw;
    }
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        if (!fs::is_symlink(it->symlink_status(ec)))
            fs::permissions(it->path(), fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                            fs::perm_options::remove, ec);
    }
    fs::permissions(root, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove, ec);
}

void DiskImage::detach(const fs::path& mountPoint) {
    std::error_code ec;
    if (!fs::is_directory(fs::symlink_status(mountPoint, ec)) ||
        !fs::is_regular_file(fs::symlink_status(mountPoint / marker, ec))) {
        fail("no image is attached at " + mountPoint.string());
    }
    removeTree(mountPoint);
    if (fs::exists(fs::symlink_status(mountPoint, ec))) fail("cannot remove " + mountPoint.string());
}

}  // namespace kavri
