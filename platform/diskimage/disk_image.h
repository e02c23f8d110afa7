#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <vector>

namespace kavri {

// Our own disk-image format: a gzip-compressed tar archive whose top level is
// the volume's top level. Attaching unpacks it, read-only, into a mount
// point; detaching removes what attaching made. No entry ever lands outside
// the mount point: an archive that holds an absolute path, a path that
// climbs with "..", a link that leads out of the mount point (once every
// link is in place, also by way of other links), a hard link or a special
// file is refused as a whole, and so is one that is cut short or that
// unpacks to more than its limits allow.
class DiskImage {
public:
    class Error : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };

    // What one image may unpack to; far above a real app.
    struct Limits {
        std::uint64_t maxBytes = 256ull << 20;  // all files' bytes together
        std::size_t maxEntries = 50000;         // files, folders and links
        std::size_t maxDepth = 64;              // components of one entry's path
    };

    // Writes an image whose top level holds each of `items` (files, folders
    // with everything below them, symbolic links) under its own name.
    static void create(const std::vector<std::filesystem::path>& items, const std::filesystem::path& image);

    // Unpacks `image` into `mountPoint`, an empty folder (made when missing),
    // and takes the write permission away from what it unpacked. On failure
    // nothing unpacked stays behind: the mount point is left empty.
    static void attach(const std::filesystem::path& image, const std::filesystem::path& mountPoint);
    static void attach(const std::filesystem::path& image, const std::filesystem::path& mountPoint,
                       const Limits& limits);

    // Removes a mount point that attach() filled, with all it holds; refuses
    // any other folder.
    static void detach(const std::filesystem::path& mountPoint);

    // Marks a folder as a mount point; never an entry of an image.
    static constexpr const char* marker = ".kavri-image";
};

}  // namespace kavri
