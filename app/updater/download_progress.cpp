#include "app/updater/download_progress.h"

#include <cmath>

namespace kavri {

std::optional<double> DownloadProgress::next(std::int64_t written, std::int64_t expected) {
    if (expected <= 0) return std::nullopt;
    const double fraction = static_cast<double>(written) / static_cast<double>(expected);
    const int percent = static_cast<int>(std::floor(fraction * 100.0));
    if (percent == lastPercent_) return std::nullopt;
    lastPercent_ = percent;
    return fraction;
}

}  // namespace kavri
