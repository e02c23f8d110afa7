#pragma once
// Signatures no honest signer makes: any text as a bundle's seal, signed by
// one or more identities, so that what the signature tools do with a seal
// they must refuse can be tested.
#include <openssl/cms.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/codesign/code_signature.h"
#include "platform/runtime/c_handle.h"
#include "testing/test_pki.h"

namespace kavri::test {

// Writes `seal` as the bundle's "CodeResources" and a detached signature of it
// by each of `signers` as its "CodeSignature".
inline void writeSignedSeal(const std::filesystem::path& bundle, const std::string& seal,
                            const std::vector<TestPki::SigningIdentity>& signers) {
    namespace fs = std::filesystem;
    using Bio = CHandle<BIO, BIO_free>;
    const auto read = [](const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    };
    Bio content(BIO_new_mem_buf(seal.data(), static_cast<int>(seal.size())));
    CHandle<CMS_ContentInfo, CMS_ContentInfo_free> cms(
        CMS_sign(nullptr, nullptr, nullptr, nullptr, CMS_BINARY | CMS_DETACHED | CMS_PARTIAL));
    for (const auto& signer : signers) {
        const std::string certText = read(signer.certFile), keyText = read(signer.keyFile);
        Bio certIn(BIO_new_mem_buf(certText.data(), static_cast<int>(certText.size())));
        Bio keyIn(BIO_new_mem_buf(keyText.data(), static_cast<int>(keyText.size())));
        CHandle<X509, X509_free> cert(PEM_read_bio_X509(certIn.get(), nullptr, nullptr, nullptr));
        CHandle<EVP_PKEY, EVP_PKEY_free> key(PEM_read_bio_PrivateKey(keyIn.get(), nullptr, nullptr, nullptr));
        if (!cert || !key || !CMS_add1_signer(cms.get(), cert.get(), key.get(), EVP_sha256(), CMS_BINARY))
            throw std::runtime_error("cannot add a signer");
    }
    if (CMS_final(cms.get(), content.get(), nullptr, CMS_BINARY | CMS_DETACHED) != 1)
        throw std::runtime_error("cannot sign the seal");
    Bio out(BIO_new(BIO_s_mem()));
    i2d_CMS_bio(out.get(), cms.get());
    char* data = nullptr;
    const long size = BIO_get_mem_data(out.get(), &data);
    const fs::path folder = bundle / CodeSignature::folder;
    fs::create_directories(folder);
    std::ofstream(folder / "CodeResources", std::ios::binary | std::ios::trunc) << seal;
    std::ofstream(folder / "CodeSignature", std::ios::binary | std::ios::trunc).write(data, size);
}

// The seal the signing tool wrote for a bundle.
inline std::string sealOf(const std::filesystem::path& bundle) {
    std::ifstream in(bundle / CodeSignature::folder / "CodeResources", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace kavri::test
