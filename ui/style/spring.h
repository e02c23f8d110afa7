#pragma once

namespace kavri {

// A damped spring from 0 to 1, named the way views describe their motion:
// `response` is the period of the undamped swing in seconds and
// `dampingFraction` how much of the critical damping it has (1 comes to rest
// without overshoot, less overshoots a little).
struct Spring {
    double response;
    double dampingFraction;

    // How far along the spring is `seconds` after it started: 0 at the
    // start, settling on 1.
    double at(double seconds) const;
    // How long until it is within a thousandth of its end, in milliseconds.
    int settleMs() const;
};

}  // namespace kavri
