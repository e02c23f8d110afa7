#include "platform/qrcode/qr_code_generator.h"

#include <qrencode.h>

#include "platform/runtime/c_handle.h"

namespace kavri {

std::optional<GrayImage> QRCodeGenerator::image(std::string_view bytes, Correction correction, int scale) {
    if (scale < 1 || bytes.empty()) return std::nullopt;
    QRecLevel level = QR_ECLEVEL_M;
    switch (correction) {
        case Correction::L: level = QR_ECLEVEL_L; break;
        case Correction::M: level = QR_ECLEVEL_M; break;
        case Correction::Q: level = QR_ECLEVEL_Q; break;
        case Correction::H: level = QR_ECLEVEL_H; break;
    }
    // Version 0: the smallest symbol that holds the bytes.
    const CHandle<QRcode, QRcode_free> code(QRcode_encodeData(int(bytes.size()),
                                                              reinterpret_cast<const unsigned char*>(bytes.data()),
                                                              0, level));
    if (!code) return std::nullopt;
    const int modules = code->width;
    GrayImage out;
    out.width = out.height = modules * scale;
    out.pixels.assign(std::size_t(out.width) * std::size_t(out.height), 255);
    for (int my = 0; my < modules; ++my) {
        for (int mx = 0; mx < modules; ++mx) {
            // Bit 0 of each module byte: dark.
            if ((code->data[my * modules + mx] & 1) == 0) continue;
            for (int y = my * scale; y < (my + 1) * scale; ++y)
                for (int x = mx * scale; x < (mx + 1) * scale; ++x) out.pixels[std::size_t(y) * out.width + x] = 0;
        }
    }
    return out;
}

}  // namespace kavri
