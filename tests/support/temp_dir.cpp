#include "tests/support/temp_dir.h"

#include <stdlib.h>

#include <stdexcept>
#include <string>

namespace kavri::test {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kavri-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

}  // namespace kavri::test
