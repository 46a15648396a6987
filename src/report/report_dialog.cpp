// The report settings dialog over the main window.
#include "base/pyops.hpp"
#include "module/quorvaemg.hpp"
#include "ui/tk_widgets.hpp"

namespace quorvaemg {

namespace {

using py::literals::operator""_a;
using ui::make_widget;
using ui::place;

// The dialog keeps the values it was opened with, so that closing it can
// put back a Report button that opens it again with the same values.
constexpr const char *opening_values_attribute = "quorvaemg_report_opening";

// The Report button's cell in the main window.
void place_report_button(py::handle root, py::object command) {
    py::dict options("text"_a = "Report", "width"_a = 16, "bg"_a = "#ffc34d");
    if (command) {
        options["command"] = command;
    } else {
        options["state"] = "disabled";
    }
    place(make_widget(module_global("tk"), "Button", root, options),
          py::dict("row"_a = 2, "column"_a = 4, "columnspan"_a = 2, "rowspan"_a = 1, "pady"_a = 1,
                   "padx"_a = 15));
}

}  // namespace

void printreportwindow(py::handle deviceID, py::handle outputID, py::handle root, py::handle a,
                       py::handle b, py::handle numch, py::handle vicon, py::handle nomesogg) {
    py::object tk = module_global("tk");
    place_report_button(root, py::object());

    py::object root2 = tk.attr("Toplevel")(root);
    root2.attr("resizable")(py::arg("width") = false, py::arg("height") = false);
    root2.attr("wm_title")("Myolex - Report Settings");
    py::tuple opening = py::make_tuple(deviceID, outputID, root, a, b, numch, vicon, nomesogg);
    py::setattr(root2, opening_values_attribute, opening);
    py::object main_window = py::reinterpret_borrow<py::object>(root);
    root2.attr("protocol")("WM_DELETE_WINDOW", py::cpp_function([root2, main_window]() {
                               return module_global("on_closing")(root2, main_window);
                           }));

    place(make_widget(tk, "Label", root2,
                      py::dict("text"_a = "Insert optional parameter before printing the report",
                               "font"_a = "Calibri 13 italic")),
          py::dict("row"_a = 0, "column"_a = 0, "sticky"_a = "W", "pady"_a = 15, "padx"_a = 8));
    place(make_widget(tk, "Label", root2, py::dict("text"_a = "Notes:", "font"_a = "Calibri 11")),
          py::dict("row"_a = 6, "column"_a = 0, "pady"_a = 5, "padx"_a = 10, "sticky"_a = "W"));
    py::object l3 = place(make_widget(tk, "Text", root2, py::dict("height"_a = 5)),
                          py::dict("row"_a = 7, "column"_a = 0, "columnspan"_a = 3,
                                   "rowspan"_a = 3, "padx"_a = 10, "pady"_a = 5));
    place(make_widget(tk, "Label", root2,
                      py::dict("text"_a = "Institution Header: ", "font"_a = "Calibri 11")),
          py::dict("row"_a = 1, "column"_a = 0, "sticky"_a = "W", "padx"_a = 10, "pady"_a = 5));
    py::object entryhead = make_widget(tk, "Entry", root2, py::dict("width"_a = 60));
    entryhead.attr("insert")(0, " ");
    place(entryhead, py::dict("row"_a = 2, "column"_a = 0, "sticky"_a = "W", "padx"_a = 10));
    place(make_widget(tk, "Label", root2,
                      py::dict("text"_a = "Analysis performed by [Name, Surname]: ",
                               "font"_a = "Calibri 11")),
          py::dict("row"_a = 3, "column"_a = 0, "sticky"_a = "W", "padx"_a = 10, "pady"_a = 5));
    py::object entrydoc = make_widget(tk, "Entry", root2, py::dict("width"_a = 37));
    entrydoc.attr("insert")(0, " ");
    place(entrydoc, py::dict("row"_a = 4, "column"_a = 0, "sticky"_a = "W", "padx"_a = 10));
    py::object ev_bool = ui::make_int_var(tk, root2);
    place(make_widget(tk, "Checkbutton", root2,
                      py::dict("text"_a = "Add Event Lines ", "font"_a = "Calibri 11",
                               "variable"_a = ev_bool)),
          py::dict("row"_a = 4, "column"_a = 1, "sticky"_a = "E", "padx"_a = 10));

    py::cpp_function create_report([opening, root2, l3, entryhead, entrydoc, ev_bool]() {
        py::object head = ui::read_entry(entryhead);
        py::object doc = ui::read_entry(entrydoc);
        py::object events = ui::read_var(ev_bool);
        // Opened with (deviceID, outputID, root, a, b, numch, vicon, nomesogg).
        return module_global("createpdf")(item(opening, 2), root2, item(opening, 6),
                                          item(opening, 3), item(opening, 4), item(opening, 5),
                                          item(opening, 7), item(opening, 0), item(opening, 1), l3,
                                          head, doc, events);
    });
    place(make_widget(tk, "Button", root2,
                      py::dict("text"_a = "Create Report", "font"_a = "Calibri 11",
                               "width"_a = 16, "bg"_a = "#4d94ff", "command"_a = create_report)),
          py::dict("row"_a = 27, "column"_a = 1, "columnspan"_a = 2, "rowspan"_a = 1,
                   "pady"_a = 70));
    ev_bool.attr("set")(false);
}

void on_closing(py::handle root2, py::handle root) {
    py::object opening = py::getattr(root2, opening_values_attribute, py::none());
    py::object reopen;
    if (!opening.is_none()) {
        reopen = py::cpp_function([opening]() {
            return module_global("printreportwindow")(*opening);
        });
    } else {
        // A dialog this module did not open: the button still works, with
        // nothing to reopen.
        reopen = py::cpp_function([]() {});
    }
    place_report_button(root, reopen);
    root2.attr("destroy")();
}

void register_report(py::module_ &m) {
    define(m, "on_closing", [](py::object root2, py::object root) { on_closing(root2, root); },
           py::arg("root2"), py::arg("root"));
    define(m, "printreportwindow",
           [](py::object deviceID, py::object outputID, py::object root, py::object a,
              py::object b, py::object numch, py::object vicon, py::object nomesogg) {
               printreportwindow(deviceID, outputID, root, a, b, numch, vicon, nomesogg);
           },
           py::arg("deviceID"), py::arg("outputID"), py::arg("root"), py::arg("a"), py::arg("b"),
           py::arg("numch"), py::arg("vicon"), py::arg("nomesogg"));
    define(m, "createpdf",
           [](py::object root, py::object root2, py::object vicon, py::object a, py::object b,
              py::object numch, py::object nomesogg, py::object deviceID, py::object outputID,
              py::object notes, py::object head, py::object doc, py::object events) {
               createpdf(root, root2, vicon, a, b, numch, nomesogg, deviceID, outputID, notes,
                         head, doc, events);
           },
           py::arg("root"), py::arg("root2"), py::arg("vicon"), py::arg("a"), py::arg("b"),
           py::arg("numch"), py::arg("nomesogg"), py::arg("deviceID"), py::arg("outputID"),
           py::arg("notes"), py::arg("head"), py::arg("doc"), py::arg("events"));
}

}  // namespace quorvaemg
