#include "platform/codesign/code_signature.h"

#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>

#include "platform/bundle/app_bundle.h"
#include "platform/runtime/c_handle.h"
#include "platform/runtime/contained_path.h"
#include "platform/runtime/file_descriptor.h"
#include "platform/runtime/json_depth.h"
#include "platform/runtime/relative_path.h"

namespace kavri {

namespace fs = std::filesystem;
using Json = nlohmann::json;

namespace {

struct StackFree {
    void operator()(STACK_OF(X509) * s) const { sk_X509_pop_free(s, X509_free); }
};
using Bio = CHandle<BIO, BIO_free>;
using Cert = CHandle<X509, X509_free>;
using Key = CHandle<EVP_PKEY, EVP_PKEY_free>;
using Cms = CHandle<CMS_ContentInfo, CMS_ContentInfo_free>;
using Certs = std::unique_ptr<STACK_OF(X509), StackFree>;

constexpr const char* resourcesName = "CodeResources";
constexpr const char* signatureName = "CodeSignature";

[[noreturn]] void fail(const std::string& what) { throw CodeSignature::Error(what); }

// The seal and the signature are read whole, up to these sizes; a bundle's
// file list is far smaller.
constexpr std::size_t maxSealBytes = 64u << 20;
constexpr std::size_t maxSignatureBytes = 1u << 20;
// Certificates, keys and trusted roots, as the signer or the deployment name them.
constexpr std::size_t maxNamedFileBytes = 16u << 20;
// The seal nests three deep: the list, its "files", one file's record.
constexpr std::size_t sealDepth = 3;

// Opens a regular file of a bundle without following a link at its name.
FileDescriptor openFile(const fs::path& path, bool followLink = false) {
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | (followLink ? 0 : O_NOFOLLOW) | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) fail("cannot read " + path.string());
    return fd;
}

// A file of a bundle, or with `followLink` one the signer or the deployment
// names (a certificate, a key, the trusted roots).
std::string readAll(const fs::path& path, std::size_t maxBytes = maxSignatureBytes, bool followLink = false) {
    const FileDescriptor fd = openFile(path, followLink);
    std::string out;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) fail("cannot read " + path.string());
        if (n == 0) return out;
        if (static_cast<std::size_t>(n) > maxBytes - out.size()) fail("too large: " + path.string());
        out.append(buffer, static_cast<std::size_t>(n));
    }
}

std::string sha256Hex(const fs::path& path) {
    const FileDescriptor fd = openFile(path);
    CHandle<EVP_MD_CTX, EVP_MD_CTX_free> ctx(EVP_MD_CTX_new());
    EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr);
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) fail("cannot read " + path.string());
        if (n == 0) break;
        EVP_DigestUpdate(ctx.get(), buffer, static_cast<std::size_t>(n));
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_DigestFinal_ex(ctx.get(), digest, &size);
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < size; ++i) {
        out.push_back(hex[digest[i] >> 4]);
        out.push_back(hex[digest[i] & 15]);
    }
    return out;
}

// Parses the seal's text: nothing when it nests deeper than a seal does, is
// no JSON, or is not shaped as a seal (see manifestOf), so that comparing and
// walking it can neither recurse deeply nor meet a value of the wrong type.
std::optional<Json> parseSeal(const std::string& text) {
    if (!JsonDepth::within(text, sealDepth)) return std::nullopt;
    Json seal = Json::parse(text, nullptr, false);
    const auto member = [&](const char* name) -> const Json* {
        const auto it = seal.find(name);
        return it == seal.end() ? nullptr : &*it;
    };
    if (!seal.is_object() || seal.size() != 4) return std::nullopt;
    const Json *executable = member("executable"), *files = member("files"), *folders = member("folders"),
               *links = member("links");
    if (!executable || !executable->is_string() || !files || !files->is_object() || !folders ||
        !folders->is_array() || !links || !links->is_object())
        return std::nullopt;
    for (const auto& file : *files) {
        if (!file.is_object() || file.size() != 2) return std::nullopt;
        const auto sha = file.find("sha256"), exec = file.find("executable");
        if (sha == file.end() || !sha->is_string() || exec == file.end() || !exec->is_boolean()) return std::nullopt;
    }
    for (const auto& folder : *folders)
        if (!folder.is_string()) return std::nullopt;
    for (const auto& target : *links)
        if (!target.is_string()) return std::nullopt;
    return seal;
}

bool isSignatureFile(const std::string& rel) {
    return rel == std::string(CodeSignature::folder) || rel == std::string(CodeSignature::folder) + "/" + resourcesName ||
           rel == std::string(CodeSignature::folder) + "/" + signatureName;
}

// Every file, folder and link of the bundle but the signature itself, each
// under its own path in the bundle: a link is sealed by its path and its
// target's text, never by where it leads; it must lead to a place inside the
// bundle, also by way of other links.
Json manifestOf(const fs::path& bundle) {
    struct stat top {};
    if (::lstat(bundle.c_str(), &top) != 0 || !S_ISDIR(top.st_mode)) fail("not a bundle: " + bundle.string());
    Json files = Json::object(), links = Json::object(), folders = Json::array();
    std::vector<std::vector<std::string>> linkPaths;
    std::vector<std::vector<std::string>> pending{{}};  // folders to list, as components below the bundle
    while (!pending.empty()) {
        const std::vector<std::string> dir = std::move(pending.back());
        pending.pop_back();
        const fs::path dirPath = bundle / RelativePath::joined(dir);
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(dirPath, ec)) {
            std::vector<std::string> parts = dir;
            parts.push_back(e.path().filename().string());
            const std::string rel = RelativePath::joined(parts);
            if (isSignatureFile(rel)) continue;
            struct stat st {};
            if (::lstat(e.path().c_str(), &st) != 0) fail("cannot read " + rel);
            if (S_ISDIR(st.st_mode)) {
                folders.push_back(rel);
                pending.push_back(std::move(parts));
            } else if (S_ISREG(st.st_mode)) {
                files[rel] = {{"sha256", sha256Hex(e.path())}, {"executable", (st.st_mode & S_IXUSR) != 0}};
            } else if (S_ISLNK(st.st_mode)) {
                links[rel] = fs::read_symlink(e.path()).string();
                linkPaths.push_back(std::move(parts));
            } else {
                fail("not a file, folder or link: " + rel);
            }
        }
        if (ec) fail("cannot list " + dirPath.string());
    }
    if (!linkPaths.empty()) {
        FileDescriptor root(::open(bundle.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!root) fail("cannot read " + bundle.string());
        for (const auto& link : linkPaths) {
            if (!ContainedPath::resolve(root.get(), link)) {
                const std::string rel = RelativePath::joined(link);
                fail("invalid destination for symbolic link in bundle: " + rel + " -> " + links[rel].get<std::string>());
            }
        }
    }
    std::sort(folders.begin(), folders.end());
    const std::string executable = AppBundle::executable(bundle).lexically_relative(bundle).generic_string();
    return {{"executable", executable}, {"files", files}, {"folders", folders}, {"links", links}};
}

// The first way `actual` differs from `sealed`, as a line for the user.
std::string difference(const Json& sealed, const Json& actual) {
    for (const char* kind : {"files", "links"}) {
        const Json& s = *sealed.find(kind);
        const Json& a = *actual.find(kind);
        const std::string noun = std::string(kind) == "files" ? "file" : "symbolic link";
        for (auto it = a.begin(); it != a.end(); ++it) {
            const auto there = s.find(it.key());
            if (there == s.end()) return noun + " added: " + it.key();
            if (*there != it.value()) return noun + " modified: " + it.key();
        }
        for (auto it = s.begin(); it != s.end(); ++it)
            if (!a.contains(it.key())) return noun + " missing: " + it.key();
    }
    return "a sealed resource is missing or invalid";
}

Cms readSignature(const fs::path& bundle) {
    const fs::path file = bundle / CodeSignature::folder / signatureName;
    if (!fs::is_directory(fs::symlink_status(bundle / CodeSignature::folder)) ||
        !fs::is_regular_file(fs::symlink_status(file))) fail("code object is not signed at all");
    const std::string bytes = readAll(file);
    Bio in(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
    Cms cms(d2i_CMS_bio(in.get(), nullptr));
    if (!cms) fail("the signature is not readable");
    return cms;
}

std::string commonName(X509_NAME* name) {
    char text[256] = {};
    if (X509_NAME_get_text_by_NID(name, NID_commonName, text, sizeof text) < 0) return "?";
    return text;
}

// The signer's certificate among the signature's certificates.
X509* signerOf(CMS_ContentInfo* cms, STACK_OF(X509) * certs) {
    STACK_OF(CMS_SignerInfo)* infos = CMS_get0_SignerInfos(cms);
    if (!infos || sk_CMS_SignerInfo_num(infos) != 1) fail("the signature has no single signer");
    CMS_SignerInfo* info = sk_CMS_SignerInfo_value(infos, 0);
    for (int i = 0; certs && i < sk_X509_num(certs); ++i)
        if (CMS_SignerInfo_cert_cmp(info, sk_X509_value(certs, i)) == 0) return sk_X509_value(certs, i);
    fail("the signature does not carry its signer's certificate");
}

// Checks the signature over the sealed list; returns the list.
Json checkedManifest(const fs::path& bundle, CMS_ContentInfo* cms) {
    const fs::path resources = bundle / CodeSignature::folder / resourcesName;
    if (!fs::is_regular_file(fs::symlink_status(resources))) fail("code object is not signed at all");
    const std::string bytes = readAll(resources, maxSealBytes);
    Bio content(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
    if (CMS_verify(cms, nullptr, nullptr, content.get(), nullptr, CMS_BINARY | CMS_NO_SIGNER_CERT_VERIFY) != 1) {
        ERR_clear_error();
        fail("the signature does not match the sealed resources");
    }
    auto sealed = parseSeal(bytes);
    if (!sealed) fail("the sealed resources are not readable");
    return std::move(*sealed);
}

Certs readCertificates(const fs::path& file) {
    Certs certs(sk_X509_new_null());
    if (file.empty()) return certs;
    const std::string text = readAll(file, maxNamedFileBytes, true);
    Bio in(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
    while (X509* cert = PEM_read_bio_X509(in.get(), nullptr, nullptr, nullptr)) sk_X509_push(certs.get(), cert);
    ERR_clear_error();
    return certs;
}

}  // namespace

void CodeSignature::sign(const fs::path& bundle, const fs::path& certificate, const fs::path& key,
                         const fs::path& chain) {
    Certs leaf = readCertificates(certificate);
    if (sk_X509_num(leaf.get()) < 1) fail("no certificate in " + certificate.string());
    const std::string keyText = readAll(key, maxNamedFileBytes, true);
    Bio keyIn(BIO_new_mem_buf(keyText.data(), static_cast<int>(keyText.size())));
    Key privateKey(PEM_read_bio_PrivateKey(keyIn.get(), nullptr, nullptr, nullptr));
    if (!privateKey) fail("no private key in " + key.string());
    Certs intermediates = readCertificates(chain);

    std::error_code ec;
    fs::remove_all(bundle / folder, ec);
    const std::string manifest = manifestOf(bundle).dump(1);
    Bio content(BIO_new_mem_buf(manifest.data(), static_cast<int>(manifest.size())));
    Cms cms(CMS_sign(sk_X509_value(leaf.get(), 0), privateKey.get(), intermediates.get(), content.get(),
                     CMS_BINARY | CMS_DETACHED));
    if (!cms) fail("cannot sign: the key does not fit the certificate");
    Bio out(BIO_new(BIO_s_mem()));
    if (i2d_CMS_bio(out.get(), cms.get()) != 1) fail("cannot encode the signature");
    char* data = nullptr;
    const long size = BIO_get_mem_data(out.get(), &data);

    fs::create_directories(bundle / folder);
    std::ofstream(bundle / folder / resourcesName, std::ios::binary) << manifest;
    std::ofstream sig(bundle / folder / signatureName, std::ios::binary);
    sig.write(data, size);
    if (!sig) fail("cannot write the signature");
}

void CodeSignature::verify(const fs::path& bundle) {
    Cms cms = readSignature(bundle);
    const Json sealed = checkedManifest(bundle, cms.get());
    const Json actual = manifestOf(bundle);
    if (sealed != actual) fail(difference(sealed, actual));
}

CodeSignature::Description CodeSignature::describe(const fs::path& bundle) {
    Cms cms = readSignature(bundle);
    Certs certs(CMS_get1_certs(cms.get()));
    X509* cert = signerOf(cms.get(), certs.get());
    Description d;
    d.executable = AppBundle::executable(bundle);
    d.signatureBytes = fs::file_size(bundle / folder / signatureName);
    char team[256] = {};
    if (X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_organizationalUnitName, team, sizeof team) > 0)
        d.teamIdentifier = team;
    // Up the chain through the certificates the signature carries, then the
    // issuer it names last.
    for (int depth = 0; cert && depth < 8; ++depth) {
        d.authorities.push_back(commonName(X509_get_subject_name(cert)));
        if (X509_check_issued(cert, cert) == X509_V_OK) {
            cert = nullptr;
            break;
        }
        X509* issuer = nullptr;
        for (int i = 0; i < sk_X509_num(certs.get()); ++i)
            if (X509_check_issued(sk_X509_value(certs.get(), i), cert) == X509_V_OK) issuer = sk_X509_value(certs.get(), i);
        if (!issuer) break;
        cert = issuer;
    }
    if (cert) d.authorities.push_back(commonName(X509_get_issuer_name(cert)));
    const auto sealed = parseSeal(readAll(bundle / folder / resourcesName, maxSealBytes));
    if (!sealed) fail("the sealed resources are not readable");
    d.sealedFiles = sealed->find("files")->size();
    return d;
}

void CodeSignature::assess(const fs::path& bundle, const fs::path& trustedRoots) {
    verify(bundle);
    Cms cms = readSignature(bundle);
    Certs certs(CMS_get1_certs(cms.get()));
    X509* signer = signerOf(cms.get(), certs.get());

    CHandle<X509_STORE, X509_STORE_free> store(X509_STORE_new());
    Certs roots = readCertificates(trustedRoots);
    if (sk_X509_num(roots.get()) == 0) fail("no trusted root");
    for (int i = 0; i < sk_X509_num(roots.get()); ++i) X509_STORE_add_cert(store.get(), sk_X509_value(roots.get(), i));
    CHandle<X509_STORE_CTX, X509_STORE_CTX_free> ctx(X509_STORE_CTX_new());
    X509_STORE_CTX_init(ctx.get(), store.get(), signer, certs.get());
    if (X509_verify_cert(ctx.get()) != 1) {
        const int err = X509_STORE_CTX_get_error(ctx.get());
        ERR_clear_error();
        fail(std::string("the signer is not trusted: ") + X509_verify_cert_error_string(err));
    }
    if (!(X509_get_extension_flags(signer) & EXFLAG_XKUSAGE) || !(X509_get_extended_key_usage(signer) & XKU_CODE_SIGN))
        fail("the signer's certificate is not for code signing");
}

}  // namespace kavri
