#pragma once

#include <filesystem>
#include <string>

namespace kavri {

// A certificate authority and a server certificate for "127.0.0.1" and
// "localhost", made at run time for HTTPS test servers. They are generated
// once per process into a fresh temporary directory (removed at exit):
// "ca.pem" (the CA certificate, to trust on the client side), "server.pem"
// (the server certificate) and "server.key" (its private key, PEM).
class TestPki {
public:
    // The process's material, generated on first use. Thread-safe.
    static const TestPki& shared();

    const std::string& caFile() const { return caFile_; }
    const std::string& certFile() const { return certFile_; }
    const std::string& keyFile() const { return keyFile_; }
    const std::filesystem::path& directory() const { return directory_; }

    TestPki(const TestPki&) = delete;
    TestPki& operator=(const TestPki&) = delete;
    ~TestPki();

private:
    TestPki();

    std::filesystem::path directory_;
    std::string caFile_;
    std::string certFile_;
    std::string keyFile_;
};

}  // namespace kavri
