#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace kavri {

// A grey-scale picture, one byte a pixel (0 black, 255 white), rows top
// to bottom.
struct GrayImage {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> pixels;  // width × height

    std::uint8_t at(int x, int y) const { return pixels[std::size_t(y) * std::size_t(width) + std::size_t(x)]; }
    bool operator==(const GrayImage&) const = default;
};

// The QR-code image filter: the standard symbol of some bytes, without a
// quiet zone around it, one module as `scale` × `scale` pixels.
class QRCodeGenerator {
public:
    enum class Correction { L, M, Q, H };

    // Nothing when the bytes do not fit a symbol or the encoder fails.
    static std::optional<GrayImage> image(std::string_view bytes, Correction correction, int scale = 1);
};

}  // namespace kavri
