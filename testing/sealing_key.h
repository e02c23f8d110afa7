#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kavri {

// The control plane's static X25519 key and the server side of sealed
// replies: X25519 with the client's ephemeral key ("X-Kavri-EphPub"),
// HKDF-SHA256 (empty salt, info "kavri-config-v1"), AES-256-GCM with the
// client's nonce ("X-Kavri-Nonce"), body = ciphertext then the 16-byte tag.
class SealingKey {
public:
    // The fixed development key of local runs and tests.
    static const SealingKey& development();
    // A new random key (a key the clients do not know, for instance).
    static SealingKey generate();
    // A key from its raw 32 private bytes in base64; nothing when unusable.
    static std::optional<SealingKey> fromPrivateBase64(std::string_view text);

    const std::string& publicKeyBase64() const { return publicBase64_; }
    const std::string& privateKeyBase64() const { return privateBase64_; }

    // The sealed body; nothing when the client's key or nonce is unusable.
    std::optional<std::string> seal(std::string_view plaintext, std::string_view ephPubBase64,
                                    std::string_view nonceBase64) const;

private:
    SealingKey() = default;
    std::string privateRaw_;
    std::string privateBase64_;
    std::string publicBase64_;
};

}  // namespace kavri
