// Replaying a saved configuration on the open trial, without the window.
#include "base/pyops.hpp"
#include "module/quorvaemg.hpp"
#include "module/text_file.hpp"

namespace quorvaemg {

namespace {

// A file claiming N channels needs 2N + 11 lines (11 for a count of 0 or
// less).  Checked before any variable is made, so a corrupt count cannot
// make the run allocate without bound.
void check_line_count(const py::object &channels, Py_ssize_t line_count) {
    py::object pairs = channels > py::int_(0) ? channels : py::int_(0);
    py::object needed = concat(multiply(pairs, py::int_(2)), py::int_(11));
    if (needed > py::int_(line_count)) {
        PyErr_Format(PyExc_IndexError,
                     "configuration file claims %S channels but holds only %zd lines",
                     channels.ptr(), line_count);
        throw py::error_already_set();
    }
}

}  // namespace

void readconfig(py::handle vicon, py::handle percorso, py::handle deviceID, py::handle outputID,
                py::handle printhistory) {
    py::list lines;
    {
        TextFile file(concat(percorso, py::str("RIVuror_config.txt")), "r");
        lines = file.read_lines();
        file.close();
    }
    py::object tk = module_global("tk");
    py::object root = tk.attr("Tk")();
    py::object N = to_int(item(lines, 0));
    check_line_count(N, static_cast<Py_ssize_t>(py::len(lines)));
    Py_ssize_t channels = N > py::int_(0) ? to_ssize(N) : 0;

    py::list a, b;
    a.append(tk.attr("IntVar")(root));
    b.append(tk.attr("StringVar")(root));
    for (Py_ssize_t extra = 1; extra < channels; ++extra) {
        a.append(tk.attr("IntVar")(root));
        b.append(tk.attr("StringVar")(root));
    }

    // Channel k (from 1) has its flag on line 2k and its choice on 2k + 1.
    Py_ssize_t cursor = 0;
    for (Py_ssize_t counter = 0; counter < channels; ++counter) {
        bool selected = truth(to_int(item(lines, cursor + 1)));
        a[static_cast<std::size_t>(counter)].attr("set")(py::bool_(selected));
        b[static_cast<std::size_t>(counter)].attr("set")(item(lines, cursor + 2));
        cursor += 2;
    }
    py::object settings[10];
    for (Py_ssize_t line = 0; line < 10; ++line) {
        settings[line] = to_int(item(lines, cursor + 1 + line));
    }
    const py::object &mn_b = settings[0], &low_b = settings[1], &high_b = settings[2],
                     &rect_b = settings[3], &rms_b = settings[4], &Hfilt = settings[5],
                     &Lfilt = settings[6], &RMS = settings[7], &Hord = settings[8],
                     &Lord = settings[9];

    module_global("processsignal")(root, a, b, vicon, deviceID, outputID, N, mn_b, low_b, high_b,
                                   rect_b, rms_b, Hfilt, Hord, Lfilt, Lord, RMS, printhistory);
}

void register_batch(py::module_ &m) {
    define(m, "readconfig",
           [](py::object vicon, py::object percorso, py::object deviceID, py::object outputID,
              py::object printhistory) {
               readconfig(vicon, percorso, deviceID, outputID, printhistory);
           },
           py::arg("vicon"), py::arg("percorso"), py::arg("deviceID"), py::arg("outputID"),
           py::arg("printhistory"));
}

}  // namespace quorvaemg
