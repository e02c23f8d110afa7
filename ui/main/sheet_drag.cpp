#include "ui/main/sheet_drag.h"

#include <cmath>

namespace kavri {

void SheetDrag::press(double x, double y, double t) {
    pressed_ = true;
    active_ = false;
    startX_ = x;
    startY_ = lastY_ = y;
    samples_.clear();
    record(y, t);
}

bool SheetDrag::move(double x, double y, double t) {
    if (!pressed_) return false;
    if (!active_ && std::hypot(x - startX_, y - startY_) >= minimumDistance) active_ = true;
    lastY_ = y;
    record(y, t);
    return active_;
}

SheetDrag::Release SheetDrag::release(double x, double y, double t) {
    if (!pressed_) return Release::none;
    move(x, y, t);
    const bool wasActive = active_;
    const double moved = translation();
    predictedEnd_ = moved + speed() * projection;
    pressed_ = active_ = false;
    samples_.clear();
    if (!wasActive) return Release::none;
    if (moved > height_ / 3 || predictedEnd_ > height_) return Release::close;
    return Release::springBack;
}

void SheetDrag::cancel() {
    pressed_ = active_ = false;
    samples_.clear();
}

void SheetDrag::record(double y, double t) {
    if (!samples_.empty() && t < samples_.back().t) t = samples_.back().t;
    samples_.push_back({y, t});
    while (samples_.size() > 2 && samples_.back().t - samples_[1].t >= speedWindow) samples_.pop_front();
}

double SheetDrag::speed() const {
    if (samples_.size() < 2) return 0;
    const double dt = samples_.back().t - samples_.front().t;
    return dt > 0 ? (samples_.back().y - samples_.front().y) / dt : 0;
}

}  // namespace kavri
