#pragma once

#include <deque>

namespace kavri {

// The drag that closes a bottom sheet, as plain decisions: it starts once
// the pointer has moved 10 points from where it was pressed, then follows
// the vertical translation (negative upward). On release the sheet closes
// when the translation passes a third of its height, or when the predicted
// end of the motion (the translation carried on by its speed with the
// platform's normal deceleration) passes the whole height; otherwise it
// springs back. Positions in points, times in seconds.
class SheetDrag {
public:
    enum class Release { none, close, springBack };

    static constexpr double minimumDistance = 10;
    // How far a motion carries on per point-per-second of speed: the
    // platform's normal deceleration of 0.998 per millisecond.
    static constexpr double projection = 0.998 / (1 - 0.998) / 1000;
    // The moves that make the release speed.
    static constexpr double speedWindow = 0.1;

    explicit SheetDrag(double height) : height_(height) {}

    void press(double x, double y, double t);
    // True while the drag follows the pointer.
    bool move(double x, double y, double t);
    // Ends the press: none when it never became a drag.
    Release release(double x, double y, double t);
    // Forgets a press without deciding anything.
    void cancel();

    bool pressed() const { return pressed_; }
    bool active() const { return active_; }
    // The vertical translation since the press while active, else 0.
    double translation() const { return active_ ? lastY_ - startY_ : 0; }
    // Where the last released drag was predicted to come to rest.
    double predictedEnd() const { return predictedEnd_; }

private:
    struct Sample {
        double y, t;
    };
    void record(double y, double t);
    double speed() const;

    double height_;
    bool pressed_ = false;
    bool active_ = false;
    double startX_ = 0, startY_ = 0, lastY_ = 0;
    double predictedEnd_ = 0;
    std::deque<Sample> samples_;
};

}  // namespace kavri
