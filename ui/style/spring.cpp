#include "ui/style/spring.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace kavri {

namespace {
constexpr double restTolerance = 0.001;
}

double Spring::at(double t) const {
    if (t <= 0) return 0;
    const double w0 = 2 * std::numbers::pi / std::max(response, 1e-6);
    const double zeta = std::max(dampingFraction, 0.0);
    if (zeta >= 1) return 1 - std::exp(-w0 * t) * (1 + w0 * t);
    const double wd = w0 * std::sqrt(1 - zeta * zeta);
    const double decay = zeta * w0;
    return 1 - std::exp(-decay * t) * (std::cos(wd * t) + decay / wd * std::sin(wd * t));
}

int Spring::settleMs() const {
    const double w0 = 2 * std::numbers::pi / std::max(response, 1e-6);
    const double zeta = std::clamp(dampingFraction, 0.05, 1.0);
    double seconds;
    if (zeta >= 1) {
        // e^(-w0 t)(1 + w0 t) falls under the tolerance within this bound.
        seconds = 9.3 / w0;
    } else {
        const double decay = zeta * w0;
        const double wd = w0 * std::sqrt(1 - zeta * zeta);
        seconds = std::log((1 + decay / wd) / restTolerance) / decay;
    }
    return int(std::ceil(seconds * 1000));
}

}  // namespace kavri
