#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kavri {

// The engine configuration of last resort: started when neither the VPN
// profile nor the shared store holds a fetched one. A complete configuration
// with one proxy outbound, kept in the program as standard base64 of its
// UTF-8 JSON and decoded on use.
class LastResortSurface {
public:
    // The configuration text; std::nullopt when the stored text does not
    // decode, is not UTF-8 or is empty.
    static std::optional<std::string> config();

    // The stored base64 text.
    static std::string_view storedText();
    // Strict base64 (no line breaks, no characters outside the alphabet),
    // then UTF-8; std::nullopt on any fault or an empty result.
    static std::optional<std::string> decode(std::string_view base64);
};

}  // namespace kavri
