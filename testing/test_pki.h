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

    // A code-signing certificate ("cert") and its key ("key"), PEM files,
    // whose organisational unit is `team`: issued by the CA above (a root
    // that deployments for tests trust), or, when `trusted` is false, by a
    // CA of its own that nobody trusts. Made once per team and trust.
    struct SigningIdentity {
        std::string certFile;
        std::string keyFile;
    };
    SigningIdentity signingIdentity(const std::string& team, bool trusted = true) const;

    TestPki(const TestPki&) = delete;
    TestPki& operator=(const TestPki&) = delete;
    ~TestPki();

private:
    TestPki();

    std::filesystem::path directory_;
    std::string caFile_;
    std::string certFile_;
    std::string keyFile_;
    std::string caKeyFile_;
};

}  // namespace kavri
