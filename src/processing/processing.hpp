// Processing and preview of the ticked channels, as the window's actions and
// the batch run call them.
#pragma once

#include "processing/chain.hpp"

#include <pybind11/pybind11.h>

namespace py = pybind11;

namespace quorvaemg {

// Processes every ticked channel, writes it to its destination channel,
// logs it when `history` is true, then destroys `root`.  With nothing ticked
// it shows the "No EMG channel selected" box and keeps the window.
void processsignal(py::handle root, py::handle a, py::handle b, py::handle vicon,
                   py::handle deviceID, py::handle outputID, py::handle numch,
                   const ProcessingSettings &passed, py::handle history);

// Shows the first ticked channel raw and processed in one plot window.
void displaysig(py::handle a, py::handle b, py::handle vicon, py::handle deviceID,
                py::handle outputID, py::handle numch, const ProcessingSettings &passed);

}  // namespace quorvaemg
