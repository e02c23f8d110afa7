// xattr: removes an extended attribute (kept as "user.<name>") from a file
// or, with -r, from a folder and everything below it; links are not followed.
//   xattr -d[r] NAME PATH
#include <sys/xattr.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

int main(int argc, char** argv) {
    if (argc != 4 || (std::string(argv[1]) != "-d" && std::string(argv[1]) != "-dr")) {
        std::fprintf(stderr, "usage: xattr -d[r] NAME PATH\n");
        return 2;
    }
    const bool recursive = std::string(argv[1]) == "-dr";
    const std::string name = std::string("user.") + argv[2];
    const std::filesystem::path root = argv[3];
    std::error_code ec;
    if (!std::filesystem::exists(std::filesystem::symlink_status(root, ec))) {
        std::fprintf(stderr, "xattr: No such file: %s\n", root.c_str());
        return 1;
    }
    ::lremovexattr(root.c_str(), name.c_str());
    if (recursive && std::filesystem::is_directory(std::filesystem::symlink_status(root, ec))) {
        for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
             !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
            ::lremovexattr(it->path().c_str(), name.c_str());
        }
    }
    return 0;
}
