#include "host/nexus.hpp"
#include "base/pyops.hpp"
#include "module/quorvaemg.hpp"

namespace quorvaemg {

void test() { print_line(py::str("Test Quorva library - Myolex")); }

void printinfo(py::handle vicon) {
    host::TrialName trial = host::trial_name(vicon);
    py::object subjects = host::subject_names(vicon);
    py::object line = concat_all({py::str("Trial:"), trial.name, py::str(" of "), item(subjects, 0)});
    print_line(line);
}

void register_diagnostics(py::module_ &m) {
    define(m, "test", &test);
    define(m, "printinfo", [](py::object vicon) { printinfo(vicon); }, py::arg("vicon"));
}

}  // namespace quorvaemg
