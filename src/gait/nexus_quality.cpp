// quality_table: the signal-quality table of a trial open in Nexus.
#include "gait/gait.hpp"
#include "gait/quality_bindings.hpp"
#include "host/nexus.hpp"
#include "base/pyops.hpp"

#include <pybind11/stl.h>

#include <string>
#include <vector>

namespace quorvaemg::gait {

namespace {

// 0-based positions of the channels asked for: all when `channels` is None,
// else each item a channel name or a 1-based channel number as Nexus counts.
std::vector<std::size_t> quality_selected(const std::vector<std::string> &names,
                                          py::handle channels) {
    std::vector<std::size_t> chosen;
    if (channels.is_none()) {
        for (std::size_t k = 0; k < names.size(); ++k) {
            chosen.push_back(k);
        }
        return chosen;
    }
    if (PyUnicode_Check(channels.ptr())) {
        throw py::type_error("channels must be a list of channel names or numbers, not a string");
    }
    for (py::handle item : py::iter(channels)) {
        std::size_t position = names.size();
        if (PyUnicode_Check(item.ptr())) {
            std::string name = py::str(item);
            for (std::size_t k = 0; k < names.size(); ++k) {
                if (names[k] == name) {
                    position = k;
                    break;
                }
            }
            if (position == names.size()) {
                throw py::value_error("no channel named '" + name + "' on this output");
            }
        } else {
            Py_ssize_t number = to_ssize(item);
            if (number < 1 || static_cast<std::size_t>(number) > names.size()) {
                throw py::value_error("channel number " + std::to_string(number) +
                                      " is out of range 1.." + std::to_string(names.size()));
            }
            position = static_cast<std::size_t>(number - 1);
        }
        chosen.push_back(position);
    }
    return chosen;
}

}  // namespace

void register_nexus_quality(py::module_ &m) {
    m.def(
        "quality_table",
        [](py::handle vicon, py::handle deviceID, py::handle outputID, py::handle channels,
           const py::kwargs &kwargs) {
            using namespace quality;
            auto all = host::output_channel_names(vicon, deviceID, outputID)
                           .cast<std::vector<std::string>>();
            double rate = sampling_rate(host::device_rate(vicon, deviceID), "the device rate");
            Checker checker(thresholds_from(kwargs, rate));
            std::vector<std::string> names;
            std::vector<ChannelQuality> results;
            py::list rows;
            for (std::size_t k : quality_selected(all, channels)) {
                py::object samples = host::channel_samples(vicon, deviceID, outputID,
                                                           py::int_(k + 1));
                auto array = channel_array(samples, "channel '" + all[k] + "'");
                results.push_back(check_array(checker, array, rate));
                names.push_back(all[k]);
                py::dict row;
                row["channel"] = all[k];
                for (auto item : to_dict(results.back())) {
                    row[item.first] = item.second;
                }
                rows.append(row);
            }
            std::string trial = to_text(host::trial_name(vicon).name);
            // Python's own print, so the lines reach the console that Nexus
            // (or a host that rebinds sys.stdout) shows, and nothing fails
            // where sys.stdout is None (pythonw, some embedding hosts).
            py::module_::import("builtins")
                .attr("print")(format_table(trial, rate, names, results), py::arg("end") = "");
            return rows;
        },
        py::arg("vicon"), py::arg("deviceID"), py::arg("outputID"),
        py::arg("channels") = py::none(),
        "From a Nexus pipeline script: check the raw channels of the device output "
        "(all, or the names or 1-based numbers in `channels`), print the quality table "
        "on the console and return its rows (dicts of measures with 'channel', "
        "'verdict' and 'reasons').  Keyword arguments change thresholds as in "
        "check_channel.");
}

}  // namespace quorvaemg::gait
