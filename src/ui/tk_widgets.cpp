#include "ui/tk_widgets.hpp"

#include "module/pyops.hpp"

namespace quorvaemg::ui {

py::object make_widget(py::handle tk, const char *kind, py::handle master, const py::dict &options) {
    return tk.attr(kind)(master, **options);
}

py::object place(py::object widget, const py::dict &grid) {
    widget.attr("grid")(**grid);
    return widget;
}

py::object make_int_var(py::handle tk, py::handle master) { return tk.attr("IntVar")(master); }

py::object make_string_var(py::handle tk, py::handle master) {
    return tk.attr("StringVar")(master);
}

py::object read_var(py::handle var) { return get_value(var); }

py::object read_entry(py::handle entry) { return get_value(entry); }

void set_enabled(py::handle widget, bool enabled) {
    widget.attr("configure")(py::arg("state") = enabled ? "normal" : "disabled");
}

}  // namespace quorvaemg::ui
