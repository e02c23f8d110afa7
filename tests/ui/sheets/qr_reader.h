#pragma once
// Reads QR symbols back with zbar, as a phone's camera would.
#include <zbar.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/qrcode/qr_code_generator.h"

namespace kavri::test {

// Every symbol found in a grey picture; `margin` white pixels are put around
// it first (a symbol needs a quiet zone to be found).
inline std::vector<std::string> readQRCodes(const GrayImage& image, int margin = 40) {
    const int w = image.width + 2 * margin, h = image.height + 2 * margin;
    std::vector<std::uint8_t> pixels(std::size_t(w) * h, 255);
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x) pixels[std::size_t(y + margin) * w + x + margin] = image.at(x, y);
    zbar::ImageScanner scanner;
    scanner.set_config(zbar::ZBAR_NONE, zbar::ZBAR_CFG_ENABLE, 0);
    scanner.set_config(zbar::ZBAR_QRCODE, zbar::ZBAR_CFG_ENABLE, 1);
    zbar::Image picture(unsigned(w), unsigned(h), "Y800", pixels.data(), static_cast<unsigned long>(pixels.size()));
    scanner.scan(picture);
    std::vector<std::string> found;
    for (auto s = picture.symbol_begin(); s != picture.symbol_end(); ++s) found.push_back(s->get_data());
    return found;
}

}  // namespace kavri::test
