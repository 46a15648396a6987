// Activation timing over the circular cycle, and its comparison with the
// periods of normal activity.
#include "gait/cycle_math.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace quorvaemg::gait::cycles {

namespace {

// A stretch of the circular cycle, in %: it starts at `start` (in [0, 100))
// and ends at `end`, above 100 for the one stretch that runs across 100 %.
struct CycleStretch {
    bool active;
    double start, end;
    double length() const { return end - start; }
};

// The stretches of a curve, in order, as they lie on 0-100 %, before the end
// is joined to the start.
std::vector<CycleStretch> cycle_linear_stretches(const double *curve, std::size_t points,
                                                 double level) {
    const double last = static_cast<double>(points - 1);
    std::vector<CycleStretch> stretches;
    bool active = curve[0] > level;
    double start = 0;
    for (std::size_t i = 0; i + 1 < points; ++i) {
        const bool next = curve[i + 1] > level;
        if (next == active) {
            continue;
        }
        double at = (level - curve[i]) / (curve[i + 1] - curve[i]);
        at = std::isfinite(at) ? std::clamp(at, 0.0, 1.0) : 0.5;
        const double crossing = (static_cast<double>(i) + at) * 100.0 / last;
        if (crossing > start) {
            stretches.push_back({active, start, crossing});
        }
        start = crossing;
        active = next;
    }
    if (start < 100.0 || stretches.empty()) {
        stretches.push_back({active, start, 100.0});
    }
    // A point exactly on the level makes an empty stretch, left out above,
    // which may leave two of one state side by side.
    std::vector<CycleStretch> joined;
    for (const CycleStretch &s : stretches) {
        if (!joined.empty() && joined.back().active == s.active) {
            joined.back().end = s.end;
        } else {
            joined.push_back(s);
        }
    }
    return joined;
}

// The stretch of the end and that of the start are one when they agree.
void cycle_close_circle(std::vector<CycleStretch> &stretches) {
    if (stretches.size() > 1 && stretches.front().active == stretches.back().active) {
        stretches.back().end = 100.0 + stretches.front().end;
        stretches.erase(stretches.begin());
    }
}

// Shortest first, so that a short gap inside a burst is filled before the
// burst itself could be judged short; each merge joins three stretches.
void cycle_merge_short(std::vector<CycleStretch> &stretches, double merge) {
    while (stretches.size() > 1) {
        std::size_t shortest = 0;
        for (std::size_t i = 1; i < stretches.size(); ++i) {
            if (stretches[i].length() < stretches[shortest].length()) {
                shortest = i;
            }
        }
        if (!(stretches[shortest].length() < merge)) {
            return;
        }
        const std::size_t m = stretches.size();
        if (m == 2) {  // states alternate round the circle, so m is even or 1
            const bool active = !stretches[shortest].active;
            stretches = {{active, 0.0, 100.0}};
            return;
        }
        const std::size_t before = (shortest + m - 1) % m, after = (shortest + 1) % m;
        CycleStretch &kept = stretches[before];
        const CycleStretch &next = stretches[after];
        kept.end = next.end + (next.start < kept.start ? 100.0 : 0.0);
        const std::size_t high = std::max(shortest, after), low = std::min(shortest, after);
        stretches.erase(stretches.begin() + static_cast<std::ptrdiff_t>(high));
        stretches.erase(stretches.begin() + static_cast<std::ptrdiff_t>(low));
    }
}

// An arc of the circle from `on` to `off` as periods within 0-100 %: one
// through 100 % (its `off` past 100, or below `on`) is two.
void cycle_append_arc(std::vector<Period> &out, double on, double off) {
    if (off > 100.0) {
        off -= 100.0;
    } else if (off >= on) {
        out.emplace_back(on, off);
        return;
    }
    out.emplace_back(on, 100.0);
    out.emplace_back(0.0, off);
}

void cycle_sort(std::vector<Period> &periods) { std::sort(periods.begin(), periods.end()); }

// Periods (on > off: across 100 %) as sorted, disjoint periods of 0-100 %.
std::vector<Period> cycle_linear_union(const std::vector<Period> &periods) {
    std::vector<Period> pieces;
    for (const Period &p : periods) {
        const double on = std::clamp(p.first, 0.0, 100.0), off = std::clamp(p.second, 0.0, 100.0);
        if (on < off) {
            pieces.emplace_back(on, off);
        } else if (on > off) {
            // (100, x) and (x, 0) have one empty piece, which would come
            // back as an absent period of no length.
            if (on < 100.0) {
                pieces.emplace_back(on, 100.0);
            }
            if (off > 0.0) {
                pieces.emplace_back(0.0, off);
            }
        }
    }
    cycle_sort(pieces);
    std::vector<Period> merged;
    for (const Period &p : pieces) {
        if (!merged.empty() && p.first <= merged.back().second) {
            merged.back().second = std::max(merged.back().second, p.second);
        } else {
            merged.push_back(p);
        }
    }
    return merged;
}

double cycle_measure(const std::vector<Period> &periods) {
    double total = 0;
    for (const Period &p : periods) {
        total += p.second - p.first;
    }
    return total;
}

// Both arguments sorted and disjoint.
double cycle_overlap(const std::vector<Period> &a, const std::vector<Period> &b) {
    double total = 0;
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        const double on = std::max(a[i].first, b[j].first);
        const double off = std::min(a[i].second, b[j].second);
        if (off > on) {
            total += off - on;
        }
        (a[i].second < b[j].second) ? ++i : ++j;
    }
    return total;
}

std::vector<Period> cycle_difference(const std::vector<Period> &a, const std::vector<Period> &b) {
    std::vector<Period> out;
    std::size_t j = 0;
    for (Period piece : a) {
        while (j < b.size() && b[j].second <= piece.first) {
            ++j;
        }
        for (std::size_t k = j; k < b.size() && b[k].first < piece.second; ++k) {
            if (b[k].first > piece.first) {
                out.emplace_back(piece.first, b[k].first);
            }
            piece.first = std::max(piece.first, b[k].second);
        }
        if (piece.first < piece.second) {
            out.push_back(piece);
        }
    }
    return out;
}

// Sorted disjoint periods as arcs: the period ending at 100 % and the one
// starting at 0 % are one arc (on > off) unless they are the whole cycle.
std::vector<Period> cycle_arcs(std::vector<Period> periods) {
    if (periods.size() > 1 && periods.front().first == 0.0 && periods.back().second == 100.0) {
        periods.back().second = periods.front().second;
        periods.erase(periods.begin());
    }
    return periods;
}

bool cycle_same_phase(double a, double b) {
    return a == b || (a == 0.0 && b == 100.0) || (a == 100.0 && b == 0.0);
}

}  // namespace

double circular_overlap(const Period &a, const Period &b) {
    return cycle_overlap(cycle_linear_union({a}), cycle_linear_union({b}));
}

std::vector<Period> activation_periods(const double *curve, std::size_t points, double level,
                                       double merge) {
    std::vector<Period> out;
    if (points < 2) {
        return out;
    }
    std::vector<CycleStretch> stretches = cycle_linear_stretches(curve, points, level);
    cycle_close_circle(stretches);
    cycle_merge_short(stretches, merge);
    for (const CycleStretch &s : stretches) {
        if (s.active) {
            cycle_append_arc(out, s.start, s.end);
        }
    }
    cycle_sort(out);
    return out;
}

NormalComparison compare_periods(const std::vector<Period> &active,
                                 const std::vector<Period> &normal) {
    NormalComparison result;
    const std::vector<Period> detected = cycle_linear_union(active);
    const std::vector<Period> expected = cycle_linear_union(normal);
    const double both = cycle_overlap(detected, expected);
    result.agreement =
        std::max(0.0, 100.0 - (cycle_measure(detected) + cycle_measure(expected) - 2.0 * both));

    const std::vector<Period> normal_arcs = cycle_arcs(expected);
    for (const Period &arc : normal_arcs) {
        std::vector<Period> pieces;
        cycle_append_arc(pieces, arc.first, arc.second);
        cycle_sort(pieces);  // an arc across 100 % comes as its end piece first
        if (cycle_overlap(detected, pieces) <= 0.0) {
            result.absent.insert(result.absent.end(), pieces.begin(), pieces.end());
        }
    }
    // Detected activity outside the normal periods: premature when it runs
    // into the start of a normal period, prolonged when it runs on from the
    // end of one (also when it bridges two), additional when it touches none.
    for (const Period &arc : cycle_arcs(cycle_difference(detected, expected))) {
        bool after_normal = false, before_normal = false;
        for (const Period &n : normal_arcs) {
            after_normal = after_normal || cycle_same_phase(arc.first, n.second);
            before_normal = before_normal || cycle_same_phase(arc.second, n.first);
        }
        std::vector<Period> &into = after_normal    ? result.prolonged
                                    : before_normal ? result.premature
                                                    : result.additional;
        cycle_append_arc(into, arc.first, arc.second);
    }
    for (std::vector<Period> *list :
         {&result.premature, &result.prolonged, &result.absent, &result.additional}) {
        cycle_sort(*list);
    }
    return result;
}

}  // namespace quorvaemg::gait::cycles
