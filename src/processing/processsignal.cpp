#include "host/nexus.hpp"
#include "base/pyops.hpp"
#include "module/quorvaemg.hpp"
#include "processing/chain.hpp"
#include "processing/history_log.hpp"
#include "processing/processing.hpp"

#include <optional>

namespace quorvaemg {

namespace {

void print_settings_line(const ProcessingSettings &s) {
    print_line(concat_all({py::str("Thresholds: High="), to_text(s.high),
                           py::str(", High-Pass Order="), to_text(s.highOrd), py::str(" Low="),
                           to_text(s.low), py::str(", Low-Pass Order="), to_text(s.lowOrd),
                           py::str(" Window: "), to_text(s.www)}));
}

}  // namespace

void processsignal(py::handle root, py::handle a, py::handle b, py::handle vicon,
                   py::handle deviceID, py::handle outputID, py::handle numch,
                   const ProcessingSettings &passed, py::handle history) {
    print_line(py::str("Processing EMG"));
    print_settings_line(passed);

    std::optional<HistoryLog> log;
    if (truth(history)) {
        host::TrialName trial = host::trial_name(vicon);
        log.emplace(trial.folder, trial.name);
        log->write_head(passed);
    }

    py::object channelNames = host::output_channel_names(vicon, deviceID, outputID);
    ChainSettings settings = convert_settings(passed);
    Selection selection = read_selection(a, numch);

    if (!selection.any) {
        module_global("messagebox").attr("showinfo")("Quorva EMG plugin", "No EMG channel selected");
        if (log) {
            log->close();
        }
        return;
    }

    for (Py_ssize_t k : selection.ticked()) {
        py::object channel = py::int_(k + 1);
        py::object emg = samples_array(host::channel_samples(vicon, deviceID, outputID, channel));
        py::object emg_filtered = run_chain(emg, settings);
        py::object channel_name = item(channelNames, k);
        print_line(concat(py::str("Elaborated: "), channel_name));

        py::object choice = get_value(item(b, k));
        if (log) {
            log->write_channel(channel_name, head(choice, 2));
        }
        // The destination is the number in the first two characters of the
        // output choice ("3 - EMG3" or "12 - EMG12").
        py::object two = concat(item(choice, 0), item(choice, 1));
        py::object destination = to_int(two);
        host::set_channel_samples(vicon, deviceID, outputID, destination, emg_filtered);
        print_line(concat_all({to_text(channel), py::str(" channel put in "), two,
                               py::str(" position")}));
    }

    if (log) {
        log->finish();
    }
    root.attr("destroy")();
}

void register_processing(py::module_ &m) {
    define(m,
        "processsignal",
        [](py::object root, py::object a, py::object b, py::object vicon, py::object deviceID,
           py::object outputID, py::object numch, py::object mnb, py::object lowb,
           py::object highb, py::object rectb, py::object rmsb, py::object high,
           py::object highOrd, py::object low, py::object lowOrd, py::object www,
           py::object history) {
            ProcessingSettings passed{mnb, lowb, highb, rectb, rmsb, high, highOrd, low, lowOrd, www};
            processsignal(root, a, b, vicon, deviceID, outputID, numch, passed, history);
        },
        py::arg("root"), py::arg("a"), py::arg("b"), py::arg("vicon"), py::arg("deviceID"),
        py::arg("outputID"), py::arg("numch"), py::arg("mnb"), py::arg("lowb"), py::arg("highb"),
        py::arg("rectb"), py::arg("rmsb"), py::arg("high"), py::arg("highOrd"), py::arg("low"),
        py::arg("lowOrd"), py::arg("www"), py::arg("history"));
}

}  // namespace quorvaemg
