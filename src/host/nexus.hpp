// The Nexus scripting object as this module uses it.
//
// Every operation is called positionally on the object the host handed in.
// Results are unpacked to the number of values Nexus documents, so a result
// of another size fails with Python's unpacking error; only the values the
// callers use are kept.
#pragma once

#include <pybind11/pybind11.h>

namespace py = pybind11;

namespace quorvaemg::host {

struct TrialName {
    py::object folder;  // ends with a path separator
    py::object name;
};

TrialName trial_name(py::handle vicon);
py::object subject_names(py::handle vicon);
py::object output_channel_names(py::handle vicon, py::handle deviceID, py::handle outputID);
py::object channel_samples(py::handle vicon, py::handle deviceID, py::handle outputID,
                           py::handle channel);
void set_channel_samples(py::handle vicon, py::handle deviceID, py::handle outputID,
                         py::handle channel, py::handle samples);
py::object device_rate(py::handle vicon, py::handle deviceID);
py::object frame_rate(py::handle vicon);
py::object event_frames(py::handle vicon, py::handle subject, const char *side,
                        const char *event);

}  // namespace quorvaemg::host
