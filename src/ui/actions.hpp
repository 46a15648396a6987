// The commands bound to the main window's buttons and switches.  Each holds
// the window's record and reads it when clicked, never when bound: the
// buttons exist before the channel lists do.
#pragma once

#include "ui/window_state.hpp"

#include <pybind11/pybind11.h>

namespace py = pybind11;

namespace quorvaemg::ui {

py::cpp_function process_action(const WindowState &state);
py::cpp_function preview_action(const WindowState &state);
py::cpp_function save_configuration_action(const WindowState &state);
py::cpp_function report_action(const WindowState &state);

py::cpp_function low_pass_switch_action(const WindowState &state);
py::cpp_function high_pass_switch_action(const WindowState &state);
py::cpp_function rms_switch_action(const WindowState &state);
py::cpp_function all_channels_action(const WindowState &state);

}  // namespace quorvaemg::ui
