#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

struct evp_pkey_st;

namespace kavri {

// Client side of sealed configuration replies. Every configuration request
// carries a fresh X25519 public key and AES-GCM nonce; the server may seal its
// reply to them: X25519 of its static key with ours, HKDF-SHA256 (empty salt,
// info "kavri-config-v1") to an AES-256 key, AES-256-GCM with our nonce, the
// body being the ciphertext followed by the 16-byte tag.
class KavriCrypto {
public:
    // One request's key pair and nonce. A plain value, made just before the
    // request and used once to open its reply; never stored or reused.
    class Session {
    public:
        // Draws a new private key and nonce from the secure random source.
        Session();

        // Raw 32-byte public key, standard base64 (44 characters, padded).
        const std::string& ephPubBase64() const { return ephPubBase64_; }
        // The 12 nonce bytes, standard base64 (16 characters).
        const std::string& nonceBase64() const { return nonceBase64_; }
        const std::array<std::uint8_t, 12>& nonce() const { return nonce_; }
        // The X25519 private key (never written anywhere).
        evp_pkey_st* privateKey() const { return privateKey_.get(); }

    private:
        std::shared_ptr<evp_pkey_st> privateKey_;
        std::array<std::uint8_t, 12> nonce_{};
        std::string ephPubBase64_;
        std::string nonceBase64_;
    };

    static constexpr std::size_t tagLength = 16;
    static constexpr std::string_view keyLabel = "kavri-config-v1";

    // The plaintext of a sealed body, opened with the request's session and
    // the deployment's server public key; nothing when the body is shorter
    // than 17 bytes, the stored key is unusable, or anything fails to
    // authenticate. Never throws.
    static std::optional<std::string> open(std::string_view body, const Session& session);
    // The same with the server's public key given as base64 text.
    static std::optional<std::string> open(std::string_view body, const Session& session,
                                           std::string_view serverPublicKeyBase64);
};

}  // namespace kavri
