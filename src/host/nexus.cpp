#include "host/nexus.hpp"

#include "base/pyops.hpp"

#include <utility>

namespace quorvaemg::host {

namespace {

// One Nexus operation whose result must hold exactly `size` values.
template <typename... Args>
std::vector<py::object> call_sized(py::handle vicon, const char *operation, std::size_t size,
                                   Args &&...args) {
    py::object result = vicon.attr(operation)(std::forward<Args>(args)...);
    return unpack(result, size);
}

}  // namespace

TrialName trial_name(py::handle vicon) {
    auto values = call_sized(vicon, "GetTrialName", 2);
    return {values[0], values[1]};
}

py::object subject_names(py::handle vicon) { return vicon.attr("GetSubjectNames")(); }

py::object output_channel_names(py::handle vicon, py::handle deviceID, py::handle outputID) {
    return call_sized(vicon, "GetDeviceOutputDetails", 6, deviceID, outputID)[4];
}

py::object channel_samples(py::handle vicon, py::handle deviceID, py::handle outputID,
                           py::handle channel) {
    return call_sized(vicon, "GetDeviceChannel", 3, deviceID, outputID, channel)[0];
}

void set_channel_samples(py::handle vicon, py::handle deviceID, py::handle outputID,
                         py::handle channel, py::handle samples) {
    vicon.attr("SetDeviceChannel")(deviceID, outputID, channel, samples);
}

py::object device_rate(py::handle vicon, py::handle deviceID) {
    return call_sized(vicon, "GetDeviceDetails", 6, deviceID)[2];
}

py::object frame_rate(py::handle vicon) { return vicon.attr("GetFrameRate")(); }

py::object event_frames(py::handle vicon, py::handle subject, const char *side,
                        const char *event) {
    return call_sized(vicon, "GetEvents", 2, subject, side, event)[0];
}

}  // namespace quorvaemg::host
