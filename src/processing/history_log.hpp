// The trial's history log: folder + trial name + "_RIVurorHistory.txt",
// appended in text mode, one entry per processing run.
#pragma once

#include "module/text_file.hpp"
#include "processing/chain.hpp"

#include <pybind11/pybind11.h>

namespace py = pybind11;

namespace quorvaemg {


class HistoryLog {
public:
    HistoryLog(py::handle folder, py::handle trial);

    // Time stamp, the settings as passed (shown as text),, operations and the "Elaborated channels: " line.
    void write_head(const ProcessingSettings &settings);
    void write_channel(py::handle channel_name, py::handle destination_text);
    // Two empty lines end a complete entry.
    void finish();
    // Ends an entry without channels (nothing selected).
    void close();

private:
    TextFile file_;
};

}  // namespace quorvaemg
