#pragma once

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace kavri {

// Our own code signature of an app bundle. "Contents/_CodeSignature" holds
// "CodeResources", a list of every file (SHA-256 and executable flag),
// folder and symbolic link (its target's text) of the bundle, each under its
// own path in the bundle, and "CodeSignature", a detached
// CMS signature of that list (OpenSSL) that carries the signer's
// certificate and its intermediates. The signer's team identifier is the
// organisational unit of its certificate.
class CodeSignature {
public:
    class Error : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };

    struct Description {
        std::filesystem::path executable;
        // Common names from the signer's certificate up to its root.
        std::vector<std::string> authorities;
        std::optional<std::string> teamIdentifier;
        std::size_t sealedFiles = 0;
        std::size_t signatureBytes = 0;
    };

    static constexpr const char* folder = "Contents/_CodeSignature";
    // Where the deployment's trusted roots (a PEM file) are named to the tools.
    static constexpr const char* rootsVariable = "KAVRI_CODE_SIGNING_ROOTS";

    // Signs every file of `bundle` with the key of `certificate` (PEM files);
    // `chain` holds the intermediates (PEM, may be empty). Replaces an
    // earlier signature. Refuses a bundle holding a link that leads out of
    // it (also by way of other links) or anything but files, folders and
    // links.
    static void sign(const std::filesystem::path& bundle, const std::filesystem::path& certificate,
                     const std::filesystem::path& key, const std::filesystem::path& chain = {});

    // Throws Error, naming the first fault, unless the signature holds, the
    // list it seals is well formed, and the bundle has exactly the files,
    // folders and links it lists, each under its own path and unchanged,
    // and every link stays inside the bundle.
    static void verify(const std::filesystem::path& bundle);

    // The signature's signer; throws Error when the bundle is not signed or
    // its list is not well formed.
    static Description describe(const std::filesystem::path& bundle);

    // verify(), then the signer's certificate must be for code signing and
    // chain to one of the roots in `trustedRoots` (PEM). Throws Error.
    static void assess(const std::filesystem::path& bundle, const std::filesystem::path& trustedRoots);
};

}  // namespace kavri
