// The module: each part adds its functions.
#include "gait/gait.hpp"

PYBIND11_MODULE(_core, m) {
    m.doc() = "EMG over the gait cycle (cycles, the RMS envelope, activation timing), gait "
              "events from markers and force plates, and "
              "signal quality of raw EMG channels, and the comparison of curves and "
              "timing with a reference, and muscle synergies.";
    quorvaemg::gait::register_cycles(m);
    quorvaemg::gait::register_envelope(m);
    quorvaemg::gait::register_quality(m);
    quorvaemg::gait::register_marker_events(m);
    quorvaemg::gait::register_plate_events(m);
    quorvaemg::gait::register_compare(m);
    quorvaemg::gait::register_compare_timing(m);
    quorvaemg::gait::register_co_contraction(m);
    quorvaemg::gait::register_synergies(m);
}
