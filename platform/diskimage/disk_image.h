#pragma once

#include <filesystem>
#include <stdexcept>
#include <vector>

namespace kavri {

// Our own disk-image format: a gzip-compressed tar archive whose top level is
// the volume's top level. Attaching unpacks it, read-only, into a mount
// point; detaching removes what attaching made. No entry ever lands outside
// the mount point: an archive that holds an absolute path, a path that
// climbs with "..", a link that leads out of the mount point, a hard link or
// a special file is refused as a whole, and so is one that is cut short.
class DiskImage {
public:
    class Error : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };

    // Writes an image whose top level holds each of `items` (files, folders
    // with everything below them, symbolic links) under its own name.
    static void create(const std::vector<std::filesystem::path>& items, const std::filesystem::path& image);

    // Unpacks `image` into `mountPoint`, an empty folder (made when missing),
    // and takes the write permission away from what it unpacked. On failure
    // nothing unpacked stays behind.
    static void attach(const std::filesystem::path& image, const std::filesystem::path& mountPoint);

    // Removes a mount point that attach() filled, with all it holds; refuses
    // any other folder.
    static void detach(const std::filesystem::path& mountPoint);

    // Marks a folder as a mount point; never an entry of an image.
    static constexpr const char* marker = ".kavri-image";
};

}  // namespace kavri
