#include "processing/history_log.hpp"

#include "base/pyops.hpp"
#include "module/quorvaemg.hpp"

#include <string>

namespace quorvaemg {

namespace {

py::object log_path(py::handle folder, py::handle trial) {
    return concat_all({to_text(folder), to_text(trial), py::str("_RIVurorHistory.txt")});
}

// Labels are padded to 28 characters so the values line up.
py::str label(const char *text) {
    std::string padded(text);
    padded.resize(28, ' ');
    return py::str(padded);
}

}  // namespace

HistoryLog::HistoryLog(py::handle folder, py::handle trial)
    : file_(log_path(folder, trial), "a") {}

void HistoryLog::write_head(const ProcessingSettings &s) {
    py::object stamp = module_global("time").attr("strftime")("%d/%m/%Y %H:%M:%S");
    file_.write_line(concat(py::str("--- "), stamp));
    file_.write_line(concat_all({label("PARAMETER"), py::str("Thresholds: High="), to_text(s.high),
                                 py::str(" Low="), to_text(s.low), py::str(", RMS Window Size: "),
                                 to_text(s.www)}));
    file_.write_line(concat_all(
        {label("SELECTED OPERATION"), py::str("RemoveMean="), to_text(s.mnb),
         py::str(", Low-Pass Filter="), to_text(s.lowb), py::str(", Low-Pass Order="),
         to_text(s.lowOrd), py::str(", High-Pass Filter="), to_text(s.highb),
         py::str(", High-Pass Order="), to_text(s.highOrd), py::str(", Rectified="),
         to_text(s.rectb), py::str(", RMS="), to_text(s.rmsb)}));
    file_.write_line(py::str("Elaborated channels: "));
}

void HistoryLog::write_channel(py::handle channel_name, py::handle destination_text) {
    file_.write_line(concat_all({channel_name, py::str(" has been elaborated and put in "),
                                 destination_text, py::str(" position")}));
}

void HistoryLog::finish() {
    file_.write(py::str("\n\n"));
    file_.close();
}

void HistoryLog::close() { file_.close(); }

}  // namespace quorvaemg
