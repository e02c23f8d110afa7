#include "testing/test_pki.h"

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <stdlib.h>

#include <cstdio>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <system_error>

#include "platform/runtime/c_handle.h"

namespace kavri {
namespace {

struct FileClose {
    void operator()(FILE* f) const { std::fclose(f); }
};
using Pkey = CHandle<EVP_PKEY, EVP_PKEY_free>;
using Cert = CHandle<X509, X509_free>;

[[noreturn]] void fail(const char* what) { throw std::runtime_error(std::string("test PKI: ") + what); }

Pkey newKey() {
    Pkey key(EVP_EC_gen("P-256"));
    if (!key) fail("cannot generate a key");
    return key;
}

void addExtension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    if (!ext) fail("cannot build an extension");
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
}

enum class Use { ca, server, codeSigning };

Cert newCert(EVP_PKEY* subjectKey, const char* commonName, X509* issuer, EVP_PKEY* issuerKey, Use use,
             const std::string& unit = {}) {
    const bool isCA = use == Use::ca;
    Cert cert(X509_new());
    if (!cert) fail("cannot allocate a certificate");
    X509_set_version(cert.get(), 2);

    unsigned char serial[16];
    RAND_bytes(serial, sizeof serial);
    serial[0] &= 0x7F;  // positive
    BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
    BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get()));
    BN_free(bn);

    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 30L * 24 * 3600);
    X509_set_pubkey(cert.get(), subjectKey);

    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Kavri tests"), -1,
                               -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName), -1,
                               -1, 0);
    if (!unit.empty())
        X509_NAME_add_entry_by_txt(name, "OU", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(unit.c_str()), -1,
                                   -1, 0);
    X509* signer = issuer ? issuer : cert.get();
    X509_set_issuer_name(cert.get(), X509_get_subject_name(signer));

    addExtension(cert.get(), signer, NID_subject_key_identifier, "hash");
    if (isCA) {
        addExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE,pathlen:0");
        addExtension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        addExtension(cert.get(), signer, NID_authority_key_identifier, "keyid:always");
        addExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:FALSE");
        addExtension(cert.get(), signer, NID_key_usage, "critical,digitalSignature");
        if (use == Use::server) {
            addExtension(cert.get(), signer, NID_ext_key_usage, "serverAuth");
            addExtension(cert.get(), signer, NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost");
        } else {
            addExtension(cert.get(), signer, NID_ext_key_usage, "critical,codeSigning");
        }
    }
    if (X509_sign(cert.get(), issuerKey, EVP_sha256()) <= 0) fail("cannot sign a certificate");
    return cert;
}

std::unique_ptr<FILE, FileClose> openForWrite(const std::string& path) {
    std::unique_ptr<FILE, FileClose> f(std::fopen(path.c_str(), "wb"));
    if (!f) fail("cannot write into the temporary directory");
    return f;
}

}  // namespace

const TestPki& TestPki::shared() {
    static const TestPki pki;
    return pki;
}

TestPki::TestPki() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kavri-pki-XXXXXX").string();
    if (!mkdtemp(pattern.data())) fail("cannot create a temporary directory");
    directory_ = pattern;
    caFile_ = (directory_ / "ca.pem").string();
    certFile_ = (directory_ / "server.pem").string();
    keyFile_ = (directory_ / "server.key").string();

    Pkey caKey = newKey();
    Cert ca = newCert(caKey.get(), "Kavri test CA", nullptr, caKey.get(), Use::ca);
    Pkey serverKey = newKey();
    Cert server = newCert(serverKey.get(), "127.0.0.1", ca.get(), caKey.get(), Use::server);

    if (!PEM_write_X509(openForWrite(caFile_).get(), ca.get())) fail("cannot write ca.pem");
    if (!PEM_write_X509(openForWrite(certFile_).get(), server.get())) fail("cannot write server.pem");
    if (!PEM_write_PrivateKey(openForWrite(keyFile_).get(), serverKey.get(), nullptr, nullptr, 0, nullptr, nullptr))
        fail("cannot write server.key");
    caKeyFile_ = (directory_ / "ca.key").string();
    if (!PEM_write_PrivateKey(openForWrite(caKeyFile_).get(), caKey.get(), nullptr, nullptr, 0, nullptr, nullptr))
        fail("cannot write ca.key");
}

TestPki::SigningIdentity TestPki::signingIdentity(const std::string& team, bool trusted) const {
    static std::mutex mutex;
    std::lock_guard guard(mutex);
    const std::string stem = (directory_ / ((trusted ? "signer-" : "untrusted-signer-") + team)).string();
    SigningIdentity identity{stem + ".pem", stem + ".key"};
    if (std::filesystem::exists(identity.keyFile)) return identity;

    Pkey issuerKey;
    Cert issuer;
    if (trusted) {
        std::unique_ptr<FILE, FileClose> caIn(std::fopen(caFile_.c_str(), "rb"));
        std::unique_ptr<FILE, FileClose> keyIn(std::fopen(caKeyFile_.c_str(), "rb"));
        if (!caIn || !keyIn) fail("cannot read the CA");
        issuer.reset(PEM_read_X509(caIn.get(), nullptr, nullptr, nullptr));
        issuerKey.reset(PEM_read_PrivateKey(keyIn.get(), nullptr, nullptr, nullptr));
    } else {
        issuerKey = newKey();
        issuer = newCert(issuerKey.get(), "Kavri untrusted CA", nullptr, issuerKey.get(), Use::ca);
    }
    if (!issuer || !issuerKey) fail("cannot read the CA");
    Pkey key = newKey();
    Cert cert = newCert(key.get(), ("Developer ID Application: " + team).c_str(), issuer.get(), issuerKey.get(),
                        Use::codeSigning, team);
    if (!PEM_write_X509(openForWrite(identity.certFile).get(), cert.get())) fail("cannot write a certificate");
    if (!PEM_write_PrivateKey(openForWrite(identity.keyFile).get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr))
        fail("cannot write a key");
    return identity;
}

TestPki::~TestPki() {
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
}

}  // namespace kavri
