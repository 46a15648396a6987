// Saving the window's selection and settings as the configuration file.
//
// Layout, one value per line: N; then per channel its selection flag and
// its output choice; then the five switches; then high cut-off, low
// cut-off, RMS window, high order, low order (2N + 11 lines in all).
#include "config/atomic_text_file.hpp"
#include "base/pyops.hpp"
#include "module/quorvaemg.hpp"

namespace quorvaemg {

namespace {

bool less_than(py::handle lhs, py::handle rhs) {
    int result = PyObject_RichCompareBool(lhs.ptr(), rhs.ptr(), Py_LT);
    if (result < 0) {
        throw py::error_already_set();
    }
    return result != 0;
}

}  // namespace

void saveparameters(py::handle path, py::handle root, py::handle a, py::handle b, py::handle numch,
                    py::handle mn_b, py::handle low_b, py::handle high_b, py::handle rect_b,
                    py::handle rms_b, py::handle Hfilt, py::handle Hord, py::handle Lfilt,
                    py::handle Lord, py::handle RMS) {
    py::object file_path = concat(path, py::str("RIVuror_config.txt"));
    {
        AtomicTextFile file(file_path);
        file.write_line(numch);
        for (Py_ssize_t ii = 0; less_than(py::int_(ii), numch); ++ii) {
            py::object index = get_value(item(a, ii));
            py::object strdrp = get_value(item(b, ii));
            file.write_line(index);
            file.write_line(strdrp);
        }
        for (py::handle value : {mn_b, low_b, high_b, rect_b, rms_b, Hfilt, Lfilt, RMS, Hord, Lord}) {
            file.write_line(value);
        }
        file.commit();
    }
    module_global("messagebox")
        .attr("showinfo")("Quorva EMG Tool",
                          concat(py::str("Configuration file correctly saved at "), file_path));
    root.attr("destroy")();
}

void register_config_writer(py::module_ &m) {
    define(m, "saveparameters",
           [](py::object path, py::object root, py::object a, py::object b, py::object numch,
              py::object mn_b, py::object low_b, py::object high_b, py::object rect_b,
              py::object rms_b, py::object Hfilt, py::object Hord, py::object Lfilt,
              py::object Lord, py::object RMS) {
               saveparameters(path, root, a, b, numch, mn_b, low_b, high_b, rect_b, rms_b, Hfilt,
                              Hord, Lfilt, Lord, RMS);
           },
           py::arg("path"), py::arg("root"), py::arg("a"), py::arg("b"), py::arg("numch"),
           py::arg("mn_b"), py::arg("low_b"), py::arg("high_b"), py::arg("rect_b"),
           py::arg("rms_b"), py::arg("Hfilt"), py::arg("Hord"), py::arg("Lfilt"), py::arg("Lord"),
           py::arg("RMS"));
}

}  // namespace quorvaemg
