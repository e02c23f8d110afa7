#pragma once
// A folder of its own under the temporary directory for one benchmark file,
// made on first use and removed with everything in it when the program ends.
#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>

namespace kavri::bench {

class BenchDir {
public:
    explicit BenchDir(const std::string& prefix) {
        std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
        if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot make a folder for " + prefix);
        path_ = pattern;
    }
    ~BenchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    BenchDir(const BenchDir&) = delete;
    BenchDir& operator=(const BenchDir&) = delete;

    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

}  // namespace kavri::bench
