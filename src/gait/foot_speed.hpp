// Moving the coordinate method's events to where the foot's own speed says
// it meets or leaves the floor.  The heel is farthest ahead of the pelvis
// while it still swings forward, a few frames before it lands, and the toe's
// extreme falls anywhere around its push-off: measured against labs' marked
// events the heel's extreme was 30-75 ms early.  The heel lands as its
// horizontal speed drops through a small share of the foot's peak speed; the
// toe leaves as its speed rises through that share, and that crossing and the
// toe's extreme err on either side of the marked off by about as much, so
// the off is put halfway between them.  A share of the stretch's peak speed,
// not a speed, keeps the rule the same for a slow and a fast walker and for
// any unit.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace quorvaemg::gait::foot_speed {

// The share of the peak speed, unless the caller gives another (0: the
// events stay where the coordinate method puts them); any share from 0.1 to
// 0.2 brought them closer to labs' marked ones than the extremes alone.
constexpr double SLOW_SHARE = 0.15;

// Horizontal speeds (per frame) of `m` rows of (x, y), central differences,
// the ends from their one neighbour.
inline void horizontal_speeds(const double *xy, std::size_t m, std::vector<double> &out) {
    out.assign(m, 0);
    for (std::size_t i = 0; i < m; ++i) {
        const std::size_t a = i ? i - 1 : 0, b = i + 1 < m ? i + 1 : m - 1;
        const double width = static_cast<double>(b - a);
        if (width > 0) {
            out[i] = std::hypot(xy[b * 2] - xy[a * 2], xy[b * 2 + 1] - xy[a * 2 + 1]) / width;
        }
    }
}

// Where the speed `s` crosses `level` between rows i and i + 1, as a fraction
// of the way.
inline double crossing(const std::vector<double> &s, std::size_t i, double level) {
    const double step = s[i + 1] - s[i];
    return static_cast<double>(i) + (step != 0 ? (level - s[i]) / step : 0);
}

// Row position `at` moved on while the speed falls, to where it drops below
// `level`; where it stops falling first (or is already below) it stays.
inline double slowed_at(const std::vector<double> &s, double at, double level) {
    for (auto i = static_cast<std::size_t>(at); i + 1 < s.size() && s[i + 1] < s[i]; ++i) {
        if (s[i] >= level && s[i + 1] < level) {
            return std::max(at, crossing(s, i, level));
        }
    }
    return at;
}

// Halfway between `at` and where the speed, from its low point at or before
// `at`, rises through `level`; `at` where it does not.
inline double sped_at(const std::vector<double> &s, double at, double level) {
    auto i = std::min(static_cast<std::size_t>(at), s.size() - 1);
    while (i > 0 && s[i - 1] < s[i]) {
        --i;
    }
    for (; i + 1 < s.size() && s[i + 1] > s[i]; ++i) {
        if (s[i] < level && s[i + 1] >= level) {
            return (at + crossing(s, i, level)) / 2;
        }
    }
    return at;
}

// The positions `at` (frames from `start`, in a stretch of `m` filtered rows
// of the marker's x, y) of the events from `first` on moved by the marker's
// speed: strikes on to the heel's landing, offs towards the toe's leaving.
template <typename Event>
void by_speed(const double *xy, std::size_t start, std::size_t m, bool strike, double share,
              std::vector<Event> &events, std::size_t first, std::vector<double> &speeds) {
    if (first >= events.size() || m < 2 || share <= 0) {
        return;
    }
    horizontal_speeds(xy, m, speeds);
    const double level = share * *std::max_element(speeds.begin(), speeds.end());
    const auto origin = static_cast<double>(start);
    for (std::size_t k = first; k < events.size(); ++k) {
        const double at = events[k].at - origin;
        const double moved = strike ? slowed_at(speeds, at, level) : sped_at(speeds, at, level);
        events[k].at = origin + moved;
    }
}

}  // namespace quorvaemg::gait::foot_speed
