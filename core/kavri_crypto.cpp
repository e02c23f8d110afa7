#include "core/kavri_crypto.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>
#include <openssl/rand.h>

#include <memory>
#include <stdexcept>

#include "core/deployment.h"
#include "platform/runtime/base64.h"

namespace kavri {
namespace {

struct PkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct PkeyCtxFree {
    void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
struct KdfCtxFree {
    void operator()(EVP_KDF_CTX* c) const { EVP_KDF_CTX_free(c); }
};
struct CipherCtxFree {
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

// Algorithm objects fetched once per process; OpenSSL lets threads share them.
EVP_KDF* hkdf() {
    static EVP_KDF* kdf = EVP_KDF_fetch(nullptr, "HKDF", nullptr);
    return kdf;
}

const EVP_CIPHER* aes256gcm() {
    static EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
    return cipher;
}

const unsigned char* bytes(std::string_view s) { return reinterpret_cast<const unsigned char*>(s.data()); }

// X25519 of our private key with the peer's public key, then HKDF-SHA256.
bool deriveKey(EVP_PKEY* ours, std::string_view peerPublic, std::array<unsigned char, 32>& key) {
    if (!ours || peerPublic.size() != 32) return false;
    Pkey theirs(EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr, bytes(peerPublic), peerPublic.size()));
    if (!theirs) return false;
    std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree> ctx(EVP_PKEY_CTX_new(ours, nullptr));
    unsigned char shared[32];
    std::size_t sharedLength = sizeof shared;
    // Derivation fails for a low-order peer key (an all-zero shared secret).
    if (!ctx || EVP_PKEY_derive_init(ctx.get()) <= 0 || EVP_PKEY_derive_set_peer(ctx.get(), theirs.get()) <= 0 ||
        EVP_PKEY_derive(ctx.get(), shared, &sharedLength) <= 0 || sharedLength != sizeof shared) {
        OPENSSL_cleanse(shared, sizeof shared);
        return false;
    }

    bool ok = false;
    if (EVP_KDF* kdf = hkdf()) {
        std::unique_ptr<EVP_KDF_CTX, KdfCtxFree> kctx(EVP_KDF_CTX_new(kdf));
        char digest[] = "SHA256";
        unsigned char emptySalt = 0;
        OSSL_PARAM params[] = {
            OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
            OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, shared, sizeof shared),
            OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, &emptySalt, 0),
            OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO,
                                              const_cast<char*>(KavriCrypto::keyLabel.data()),
                                              KavriCrypto::keyLabel.size()),
            OSSL_PARAM_construct_end(),
        };
        ok = kctx && EVP_KDF_derive(kctx.get(), key.data(), key.size(), params) > 0;
    }
    OPENSSL_cleanse(shared, sizeof shared);
    return ok;
}

std::optional<std::string> decrypt(const std::array<unsigned char, 32>& key,
                                   const std::array<std::uint8_t, 12>& nonce, std::string_view body) {
    const std::string_view ciphertext = body.substr(0, body.size() - KavriCrypto::tagLength);
    const std::string_view tag = body.substr(body.size() - KavriCrypto::tagLength);
    const EVP_CIPHER* cipher = aes256gcm();
    std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> ctx(EVP_CIPHER_CTX_new());
    if (!cipher || !ctx || EVP_DecryptInit_ex2(ctx.get(), cipher, key.data(), nonce.data(), nullptr) <= 0)
        return std::nullopt;
    std::string plain(ciphertext.size(), '\0');
    auto* out = reinterpret_cast<unsigned char*>(plain.data());
    int n = 0;
    std::size_t done = 0;
    // EVP lengths are int: feed very large bodies in pieces.
    constexpr std::size_t chunk = 1u << 30;
    while (done < ciphertext.size()) {
        const std::size_t piece = std::min(chunk, ciphertext.size() - done);
        if (EVP_DecryptUpdate(ctx.get(), out + done, &n, bytes(ciphertext) + done, static_cast<int>(piece)) <= 0)
            return std::nullopt;
        done += static_cast<std::size_t>(n);
    }
    if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(tag.size()),
                            const_cast<char*>(tag.data())) <= 0)
        return std::nullopt;
    if (EVP_DecryptFinal_ex(ctx.get(), out + done, &n) <= 0) {
        OPENSSL_cleanse(plain.data(), plain.size());
        return std::nullopt;
    }
    return plain;
}

}  // namespace

KavriCrypto::Session::Session() : privateKey_(EVP_PKEY_Q_keygen(nullptr, nullptr, "X25519"), EVP_PKEY_free) {
    unsigned char publicKey[32];
    std::size_t publicLength = sizeof publicKey;
    if (!privateKey_ || RAND_bytes(nonce_.data(), static_cast<int>(nonce_.size())) != 1 ||
        EVP_PKEY_get_raw_public_key(privateKey_.get(), publicKey, &publicLength) != 1 || publicLength != 32)
        throw std::runtime_error("the secure random source failed");  // not expected to happen
    ephPubBase64_ = Base64::encode(std::string_view(reinterpret_cast<const char*>(publicKey), publicLength));
    nonceBase64_ = Base64::encode(std::string_view(reinterpret_cast<const char*>(nonce_.data()), nonce_.size()));
}

std::optional<std::string> KavriCrypto::open(std::string_view body, const Session& session) {
    if (body.size() < tagLength + 1) return std::nullopt;
    return open(body, session, Deployment::current().serverPublicKey);
}

std::optional<std::string> KavriCrypto::open(std::string_view body, const Session& session,
                                             std::string_view serverPublicKeyBase64) {
    if (body.size() < tagLength + 1) return std::nullopt;
    const auto serverKey = Base64::decode(serverPublicKeyBase64);
    if (!serverKey) return std::nullopt;
    std::array<unsigned char, 32> key{};
    if (!deriveKey(session.privateKey(), *serverKey, key)) return std::nullopt;
    auto plain = decrypt(key, session.nonce(), body);
    OPENSSL_cleanse(key.data(), key.size());
    return plain;
}

}  // namespace kavri
