#include "platform/runtime/base64.h"

#include <openssl/evp.h>

namespace kavri {
namespace {

bool isAlphabet(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

}  // namespace

std::string Base64::encode(std::string_view bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3), '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    out.resize(static_cast<std::size_t>(n));
    return out;
}

std::optional<std::string> Base64::decode(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::size_t padding = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '=') {
            if (i + 2 < text.size()) return std::nullopt;  // "=" only in the last two places
            ++padding;
        } else if (padding > 0 || !isAlphabet(c)) {
            return std::nullopt;
        }
    }
    std::string out(text.size() / 4 * 3, '\0');
    if (text.empty()) return out;
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (n < 0) return std::nullopt;
    out.resize(static_cast<std::size_t>(n) - padding);
    return out;
}

}  // namespace kavri
