// The gait-cycle report from a Nexus pipeline script.
//
// read_trial copies the open trial into a plain record through the same
// scripting operations the plug-in uses, so a script can keep the records of
// several trials of a session (Nexus holds one trial open at a time) and
// hand them to report, which pools them with the open trial.  The analysis
// and the writing are the host package's (quorvaemg_host.gait), the same
// that `quorvaemg-host gait` runs on C3D files.
#include "gait/gait.hpp"

#include "host/nexus.hpp"
#include "base/pyops.hpp"

namespace quorvaemg::gait {

namespace {

constexpr const char *report_sides[] = {"Left", "Right"};
constexpr const char *report_events[] = {"Foot Strike", "Foot Off"};

py::dict report_read_trial(py::handle vicon, py::handle deviceID, py::handle outputID) {
    auto trial = host::trial_name(vicon);
    py::list subjects(host::subject_names(vicon));
    if (subjects.empty()) {
        raise(PyExc_ValueError, "the trial has no subject: events belong to a subject, "
                                "so a trial without one has no gait cycles");
    }
    py::object subject = subjects[0];

    py::object numpy = py::module_::import("numpy");
    py::list names(host::output_channel_names(vicon, deviceID, outputID));
    py::list samples;
    for (std::size_t k = 0; k < names.size(); ++k) {
        py::object values = host::channel_samples(vicon, deviceID, outputID, py::int_(k + 1));
        samples.append(numpy.attr("array")(frozen_items(values), "float64"));
    }

    py::dict events;
    for (const char *side : report_sides) {
        for (const char *event : report_events) {
            events[py::make_tuple(side, event)] =
                py::list(host::event_frames(vicon, subject, side, event));
        }
    }

    py::dict record;
    record["folder"] = trial.folder;
    record["name"] = trial.name;
    record["subject"] = subject;
    record["frame_rate"] = host::frame_rate(vicon);
    record["device_rate"] = host::device_rate(vicon, deviceID);
    record["first_frame"] = 1;  // Nexus numbers the trial's frames from 1
    record["channels"] = names;
    record["samples"] = samples;
    record["events"] = events;
    return record;
}

py::object report_run(py::handle vicon, py::handle deviceID, py::handle outputID,
                      py::object trials, py::object channels, py::object muscles,
                      py::object normalise, py::object envelope, py::object out) {
    py::list all;
    all.append(report_read_trial(vicon, deviceID, outputID));
    for (py::handle other : py::iter(trials)) {
        all.append(other);
    }
    py::object gait = py::module_::import("quorvaemg_host.gait");
    py::object done = gait.attr("report")(all, py::arg("channels") = channels,
                                          py::arg("muscles") = muscles,
                                          py::arg("normalise") = normalise,
                                          py::arg("envelope") = envelope, py::arg("out") = out);
    return item(done, 1);
}

}  // namespace

void register_nexus_report(py::module_ &m) {
    m.def("read_trial", &report_read_trial, py::arg("vicon"), py::arg("deviceID"),
          py::arg("outputID"),
          "The trial open in Nexus as a plain record (dict): folder, name, subject, frame_rate,\n"
          "device_rate, first_frame (1), channels, samples (float64 arrays) and events\n"
          "{(side, 'Foot Strike' | 'Foot Off'): frames}.  Keep it to pool the trial with\n"
          "others in report().");
    m.def("report", &report_run, py::arg("vicon"), py::arg("deviceID"), py::arg("outputID"),
          py::kw_only(), py::arg("trials") = py::tuple(), py::arg("channels") = py::none(),
          py::arg("muscles") = py::none(), py::arg("normalise") = "none",
          py::arg("envelope") = "linear", py::arg("out") = py::none(),
          "Gait-cycle EMG of the open trial pooled with `trials` (records from read_trial\n"
          "of other trials of the subject): writes <trial>_EMGGait.pdf, <trial>_EMGCycles.csv\n"
          "and <trial>_EMGActivity.csv into `out` (default: the trial's folder), prints\n"
          "what it wrote and returns the paths.  channels: a label pattern; muscles: a\n"
          "channel,side,muscle CSV file; normalise: none, peak or mvc:FILE; envelope:\n"
          "linear, rms:MS or as-is.");
}

}  // namespace quorvaemg::gait
