#include "testing/sealing_key.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>

#include <memory>
#include <stdexcept>

#include "platform/runtime/base64.h"

// The server side is written apart from the client's opening code on
// purpose: tests of the client against this control plane then check one
// implementation of the scheme against another, not against itself.

namespace kavri {
namespace {

struct PkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct PkeyCtxFree {
    void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
struct KdfFree {
    void operator()(EVP_KDF* k) const { EVP_KDF_free(k); }
};
struct KdfCtxFree {
    void operator()(EVP_KDF_CTX* c) const { EVP_KDF_CTX_free(c); }
};
struct CipherCtxFree {
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

const unsigned char* u8(std::string_view s) { return reinterpret_cast<const unsigned char*>(s.data()); }

// Development only: the matching public key is what local deployments trust.
constexpr std::string_view developmentPrivateKey = "oD2n7qk9mVt1yqbq3nqgZk0Yl8t3c2f3T8Zr9V1m0Gs=";

}  // namespace

const SealingKey& SealingKey::development() {
    static const SealingKey key = *fromPrivateBase64(developmentPrivateKey);
    return key;
}

SealingKey SealingKey::generate() {
    Pkey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "X25519"));
    std::string raw(32, '\0');
    std::size_t length = raw.size();
    if (!key || EVP_PKEY_get_raw_private_key(key.get(), reinterpret_cast<unsigned char*>(raw.data()), &length) != 1)
        throw std::runtime_error("cannot generate an X25519 key");
    return *fromPrivateBase64(Base64::encode(raw));
}

std::optional<SealingKey> SealingKey::fromPrivateBase64(std::string_view text) {
    auto raw = Base64::decode(text);
    if (!raw || raw->size() != 32) return std::nullopt;
    Pkey key(EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, u8(*raw), raw->size()));
    std::string pub(32, '\0');
    std::size_t length = pub.size();
    if (!key || EVP_PKEY_get_raw_public_key(key.get(), reinterpret_cast<unsigned char*>(pub.data()), &length) != 1)
        return std::nullopt;
    SealingKey k;
    k.privateRaw_ = std::move(*raw);
    k.privateBase64_ = std::string(text);
    k.publicBase64_ = Base64::encode(pub);
    return k;
}

std::optional<std::string> SealingKey::seal(std::string_view plaintext, std::string_view ephPubBase64,
                                            std::string_view nonceBase64) const {
    const auto peer = Base64::decode(ephPubBase64);
    const auto nonce = Base64::decode(nonceBase64);
    if (!peer || peer->size() != 32 || !nonce || nonce->size() != 12) return std::nullopt;

    Pkey ours(EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, u8(privateRaw_), privateRaw_.size()));
    Pkey theirs(EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr, u8(*peer), peer->size()));
    if (!ours || !theirs) return std::nullopt;
    std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree> agree(EVP_PKEY_CTX_new(ours.get(), nullptr));
    unsigned char shared[32];
    std::size_t sharedLength = sizeof shared;
    if (!agree || EVP_PKEY_derive_init(agree.get()) <= 0 || EVP_PKEY_derive_set_peer(agree.get(), theirs.get()) <= 0 ||
        EVP_PKEY_derive(agree.get(), shared, &sharedLength) <= 0)
        return std::nullopt;

    std::unique_ptr<EVP_KDF, KdfFree> kdf(EVP_KDF_fetch(nullptr, "HKDF", nullptr));
    std::unique_ptr<EVP_KDF_CTX, KdfCtxFree> kctx(kdf ? EVP_KDF_CTX_new(kdf.get()) : nullptr);
    char digest[] = "SHA256";
    char info[] = "kavri-config-v1";
    unsigned char key[32];
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, shared, sharedLength),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, info, 0),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, info, sizeof info - 1),
        OSSL_PARAM_construct_end(),
    };
    if (!kctx || EVP_KDF_derive(kctx.get(), key, sizeof key, params) <= 0) return std::nullopt;

    std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> ctx(EVP_CIPHER_CTX_new());
    std::string out(plaintext.size() + 16, '\0');
    auto* o = reinterpret_cast<unsigned char*>(out.data());
    int n = 0;
    if (!ctx || EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key, u8(*nonce)) <= 0 ||
        EVP_EncryptUpdate(ctx.get(), o, &n, u8(plaintext), static_cast<int>(plaintext.size())) <= 0 ||
        EVP_EncryptFinal_ex(ctx.get(), o + n, &n) <= 0 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, 16, o + plaintext.size()) <= 0)
        return std::nullopt;
    return out;
}

}  // namespace kavri
