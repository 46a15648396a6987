#include "host/nexus.hpp"
#include "module/quorvaemg.hpp"

namespace quorvaemg {

py::tuple initializeroot(py::handle root, py::handle vicon, py::handle deviceID,
                         py::handle outputID) {
    root.attr("title")("Quorva EMG Plugin for Nexus 2");
    root.attr("resizable")(py::arg("width") = false, py::arg("height") = false);
    py::object channelNames = host::output_channel_names(vicon, deviceID, outputID);
    return py::make_tuple(root, channelNames);
}

}  // namespace quorvaemg
