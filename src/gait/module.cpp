// The module: each part adds its functions.
#include "gait/gait.hpp"

PYBIND11_MODULE(_core, m) {
    m.doc() = "EMG over the gait cycle (cycles, envelopes, activation timing) and "
              "signal quality of raw EMG channels.";
    quorvaemg::gait::register_cycles(m);
    quorvaemg::gait::register_envelope(m);
    quorvaemg::gait::register_quality(m);
    quorvaemg::gait::register_nexus_report(m);
    quorvaemg::gait::register_nexus_quality(m);
}
