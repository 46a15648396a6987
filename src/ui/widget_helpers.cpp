// The helpers that keep the window's widgets in step with its switches.
#include "base/pyops.hpp"
#include "module/quorvaemg.hpp"
#include "ui/tk_widgets.hpp"

namespace quorvaemg {

void selectcheck(py::handle var, py::handle numch, py::handle a) {
    bool on = truth(ui::read_var(var));
    Py_ssize_t count = to_ssize(numch);
    for (Py_ssize_t i = 0; i < count; ++i) {
        item(a, i).attr("set")(py::bool_(on));
    }
}

void disabletxt(py::handle entv, py::handle ento, py::handle var) {
    bool on = truth(ui::read_var(var));
    ui::set_enabled(entv, on);
    ui::set_enabled(ento, on);
}

void disabledrop(py::handle drp, py::handle var) {
    ui::set_enabled(drp, truth(ui::read_var(var)));
}

void register_widget_helpers(py::module_ &m) {
    define(m, "selectcheck",
           [](py::object var, py::object numch, py::object a) { selectcheck(var, numch, a); },
           py::arg("var"), py::arg("numch"), py::arg("a"));
    define(m, "disabletxt",
           [](py::object entv, py::object ento, py::object var) { disabletxt(entv, ento, var); },
           py::arg("entv"), py::arg("ento"), py::arg("var"));
    define(m, "disabledrop", [](py::object drp, py::object var) { disabledrop(drp, var); },
           py::arg("drp"), py::arg("var"));
}

}  // namespace quorvaemg
