// The main window's record, shared by every action bound to its widgets.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>

namespace py = pybind11;

namespace quorvaemg::ui {

struct MainWindowState {
    // As handed in by the host.
    py::object root, vicon, subjects, deviceID, outputID, history, pathconfig;

    // Switches (IntVar) and setting entries (Entry).
    py::object mn_bool, low_bool, high_bool, rect_bool, rms_bool;
    py::object entryLow, entryLowOrd, entryHigh, entryHighOrd, entryRMS;

    // Channel selection (IntVar per channel), output choices (StringVar per
    // channel) and their count, fixed once the rows are built.
    py::list a, b;
    Py_ssize_t numch = 0;

    // The "All" box.
    py::object var;
};

using WindowState = std::shared_ptr<MainWindowState>;

}  // namespace quorvaemg::ui
