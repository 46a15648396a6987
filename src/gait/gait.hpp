// quorvaemg_gait._core: the numbers of EMG over the gait cycle and of the
// signal quality of raw channels.
//
// The numeric core takes numpy arrays and returns numpy arrays; it imports
// no Python module (scipy and the rest are the package's Python) and reaches
// no GUI.
// Each file of the module registers its own functions.
#pragma once

#include <pybind11/pybind11.h>

namespace py = pybind11;

namespace quorvaemg::gait {

void register_cycles(py::module_ &m);         // events, cycles, normalisation, statistics, timing
void register_envelope(py::module_ &m);       // the moving-RMS envelope
void register_quality(py::module_ &m);        // signal-quality checks of raw channels
void register_marker_events(py::module_ &m);  // gait events from heel, toe and pelvis markers
void register_plate_events(py::module_ &m);   // foot contacts on force plates
void register_compare(py::module_ &m);        // a curve against a reference, cycle consistency
void register_compare_timing(py::module_ &m); // activation timing of a group, a patient's shifts
void register_co_contraction(py::module_ &m); // co-contraction of two muscles
void register_synergies(py::module_ &m);      // non-negative factorisation, a side's synergies

}  // namespace quorvaemg::gait
