#include "base/pyops.hpp"
#include "module/quorvaemg.hpp"
#include "ui/actions.hpp"
#include "ui/tk_widgets.hpp"
#include "ui/window_state.hpp"

namespace quorvaemg {

namespace {

using ui::make_widget;
using ui::place;
using py::literals::operator""_a;

// Header and action buttons.  Without a trial the buttons are built
// disabled and with no command (and, for Process, a plainer look).
void build_header(py::handle tk, const ui::WindowState &state, py::handle name,
                  py::handle deviceNAME) {
    py::handle root = state->root;
    // The host passes the empty text when no trial is open.
    bool trial_open = !name.equal(py::str(""));
    place(make_widget(tk, "Label", root,
                      py::dict("text"_a = concat(py::str("Subject: "), item(state->subjects, 0)),
                               "font"_a = "Calibri 12 bold")),
          py::dict("row"_a = 0, "column"_a = 0, "sticky"_a = "W", "padx"_a = 15));
    if (trial_open) {
        place(make_widget(tk, "Label", root,
                          py::dict("text"_a = name, "font"_a = "Calibri 12 bold",
                                   "fg"_a = "#3f8d55")),
              py::dict("row"_a = 0, "column"_a = 1, "sticky"_a = "W"));
    } else {
        place(make_widget(tk, "Label", root,
                          py::dict("text"_a = "NO TRIAL SELECTED", "font"_a = "Calibri 10 bold",
                                   "fg"_a = "red")),
              py::dict("row"_a = 0, "column"_a = 1));
    }
    place(make_widget(tk, "Label", root,
                      py::dict("text"_a = concat(py::str("Selected device: "), deviceNAME),
                               "font"_a = "Calibri 10 italic")),
          py::dict("row"_a = 1, "column"_a = 0, "pady"_a = 10, "padx"_a = 15, "sticky"_a = "W"));

    if (trial_open) {
        place(make_widget(tk, "Button", root,
                          py::dict("text"_a = "Process", "font"_a = "Calibri 10 bold",
                                   "width"_a = 14, "bg"_a = "#84c897",
                                   "command"_a = ui::process_action(state))),
              py::dict("row"_a = 1, "column"_a = 4, "columnspan"_a = 2, "rowspan"_a = 1));
        place(make_widget(tk, "Button", root,
                          py::dict("text"_a = "Report", "width"_a = 16, "bg"_a = "#ffc34d",
                                   "command"_a = ui::report_action(state))),
              py::dict("row"_a = 2, "column"_a = 4, "columnspan"_a = 2, "rowspan"_a = 1,
                       "pady"_a = 1, "padx"_a = 15));
        place(make_widget(tk, "Button", root,
                          py::dict("text"_a = "Save Configuration", "width"_a = 16,
                                   "bg"_a = "#4d94ff",
                                   "command"_a = ui::save_configuration_action(state))),
              py::dict("row"_a = 1, "column"_a = 2, "columnspan"_a = 2, "rowspan"_a = 1,
                       "pady"_a = 1, "sticky"_a = "E"));
        place(make_widget(tk, "Button", root,
                          py::dict("text"_a = "Preview", "width"_a = 16, "bg"_a = "#4d94ff",
                                   "command"_a = ui::preview_action(state))),
              py::dict("row"_a = 2, "column"_a = 2, "columnspan"_a = 2, "rowspan"_a = 1,
                       "pady"_a = 1, "sticky"_a = "E"));
    } else {
        place(make_widget(tk, "Button", root,
                          py::dict("text"_a = "Process", "width"_a = 16, "bg"_a = "#84c897",
                                   "state"_a = "disabled")),
              py::dict("row"_a = 1, "column"_a = 4, "columnspan"_a = 2, "rowspan"_a = 1));
        place(make_widget(tk, "Button", root,
                          py::dict("text"_a = "Report", "width"_a = 16, "bg"_a = "#ffc34d",
                                   "state"_a = "disabled")),
              py::dict("row"_a = 2, "column"_a = 4, "columnspan"_a = 2, "rowspan"_a = 1,
                       "pady"_a = 1, "padx"_a = 15));
        place(make_widget(tk, "Button", root,
                          py::dict("text"_a = "Save Configuration", "width"_a = 16,
                                   "bg"_a = "#4d94ff", "state"_a = "disabled")),
              py::dict("row"_a = 1, "column"_a = 2, "columnspan"_a = 2, "rowspan"_a = 1,
                       "pady"_a = 1));
        place(make_widget(tk, "Button", root,
                          py::dict("text"_a = "Preview", "width"_a = 16, "bg"_a = "#4d94ff",
                                   "state"_a = "disabled")),
              py::dict("row"_a = 2, "column"_a = 2, "columnspan"_a = 2, "rowspan"_a = 1,
                       "pady"_a = 1));
    }
}

// A switch in column 0 of `row`: its variable, its check box bound to it,
// then switched on.
py::object build_switch(py::handle tk, py::handle root, int row, const char *text,
                        py::object command) {
    py::object var = ui::make_int_var(tk, root);
    py::dict options("text"_a = text, "font"_a = "Calibri 12", "variable"_a = var);
    if (command) {
        options["command"] = command;
    }
    place(make_widget(tk, "Checkbutton", root, options),
          py::dict("row"_a = row, "column"_a = 0, "sticky"_a = "W", "padx"_a = 10));
    var.attr("set")(1);
    return var;
}

py::object build_entry(py::handle tk, py::handle root, int width, const char *text,
                       const py::dict &grid) {
    py::object entry = make_widget(tk, "Entry", root, py::dict("width"_a = width));
    entry.attr("insert")(0, text);
    return place(entry, grid);
}

void build_label(py::handle tk, py::handle root, const char *text, const py::dict &grid) {
    place(make_widget(tk, "Label", root, py::dict("text"_a = text)), grid);
}

struct FilterRow {
    py::object on, cutoff, order;
};

// Switch, cutoff label and entry, "Filter Order: " and the order entry.
// Column 4 stays empty, so the order entry sits under the right-hand buttons.
FilterRow build_filter_row(py::handle tk, py::handle root, int row, const char *switch_text,
                           py::object command, const char *cutoff_label, const char *cutoff_text) {
    FilterRow filter;
    filter.on = build_switch(tk, root, row, switch_text, std::move(command));
    build_label(tk, root, cutoff_label, py::dict("row"_a = row, "column"_a = 1, "sticky"_a = "W"));
    filter.cutoff = build_entry(tk, root, 7, cutoff_text,
                                py::dict("row"_a = row, "column"_a = 2, "sticky"_a = "W"));
    build_label(tk, root, "Filter Order: ",
                py::dict("row"_a = row, "column"_a = 3, "sticky"_a = "E", "padx"_a = 5));
    filter.order = build_entry(tk, root, 3, "2",
                               py::dict("row"_a = row, "column"_a = 5, "sticky"_a = "W", "padx"_a = 5));
    return filter;
}

void build_settings(py::handle tk, const ui::WindowState &state) {
    py::handle root = state->root;
    ui::MainWindowState &s = *state;
    s.mn_bool = build_switch(tk, root, 3, "Remove Mean ", py::object());

    FilterRow low = build_filter_row(tk, root, 4, "Low-Pass Filter ", ui::low_pass_switch_action(state),
                                     "Low cutoff frequency [Hz]: ", "200");
    s.low_bool = low.on;
    s.entryLow = low.cutoff;
    s.entryLowOrd = low.order;

    FilterRow high = build_filter_row(tk, root, 5, "High-Pass Filter ",
                                      ui::high_pass_switch_action(state),
                                      "High cutoff frequency [Hz]: ", "20");
    s.high_bool = high.on;
    s.entryHigh = high.cutoff;
    s.entryHighOrd = high.order;

    s.rect_bool = build_switch(tk, root, 6, "Rectify ", py::object());

    s.rms_bool = build_switch(tk, root, 7, "Root Mean Square Error (RMSE) ", ui::rms_switch_action(state));
    build_label(tk, root, "Window size [samples]: ",
                py::dict("row"_a = 7, "column"_a = 1, "sticky"_a = "W"));
    s.entryRMS = build_entry(tk, root, 7, "100", py::dict("row"_a = 7, "column"_a = 2, "sticky"_a = "W"));
}

void build_channel_heading(py::handle tk, py::handle root) {
    build_label(tk, root, "  ", py::dict("row"_a = 8, "column"_a = 0));
    place(make_widget(tk, "Label", root,
                      py::dict("text"_a = "Select EMG channel: ", "font"_a = "Calibri 10 bold")),
          py::dict("row"_a = 8, "column"_a = 0, "sticky"_a = "W", "pady"_a = 20, "padx"_a = 15));
    build_label(tk, root, "Output channel", py::dict("row"_a = 8, "column"_a = 2, "sticky"_a = "W"));
}

// "k - name" for every channel, k counting from 1.
py::list output_choices(py::handle channelNames) {
    py::list cN;
    Py_ssize_t k = 1;
    for (py::handle channel : channelNames) {
        cN.append(concat_all({to_text(py::int_(k)), py::str(" - "), channel}));
        ++k;
    }
    return cN;
}

// One check box and one output drop-down per channel, from row 9 on.  An
// empty channel list still leaves one variable in each list.
void build_channel_rows(py::handle tk, const ui::WindowState &state, py::handle channelNames) {
    py::handle root = state->root;
    ui::MainWindowState &s = *state;
    py::object var0 = ui::make_int_var(tk, root);
    py::object dropstr0 = ui::make_string_var(tk, root);
    s.a = py::list();
    s.b = py::list();
    s.a.append(var0);
    s.b.append(dropstr0);
    py::list cN = output_choices(channelNames);
    Py_ssize_t i = 0;
    for (py::handle channel : channelNames) {
        py::object selected = i == 0 ? var0 : ui::make_int_var(tk, root);
        py::object choice = i == 0 ? dropstr0 : ui::make_string_var(tk, root);
        place(make_widget(tk, "Checkbutton", root,
                          py::dict("text"_a = channel, "variable"_a = selected)),
              py::dict("row"_a = i + 9, "column"_a = 1, "sticky"_a = "W"));
        choice.attr("set")(cN[static_cast<std::size_t>(i)]);
        place(tk.attr("OptionMenu")(root, choice, *cN), py::dict("row"_a = i + 9, "column"_a = 2));
        if (i > 0) {
            s.a.append(selected);
            s.b.append(choice);
        }
        ++i;
    }
    s.numch = static_cast<Py_ssize_t>(py::len(s.a));
}

}  // namespace

py::tuple initializewindow(py::handle root, py::handle tk, py::handle vicon, py::handle subjects,
                           py::handle name, py::handle deviceNAME, py::handle deviceID,
                           py::handle outputID, py::handle channelNames, py::handle history,
                           py::handle pathconfig) {
    auto state = std::make_shared<ui::MainWindowState>();
    state->root = py::reinterpret_borrow<py::object>(root);
    state->vicon = py::reinterpret_borrow<py::object>(vicon);
    state->subjects = py::reinterpret_borrow<py::object>(subjects);
    state->deviceID = py::reinterpret_borrow<py::object>(deviceID);
    state->outputID = py::reinterpret_borrow<py::object>(outputID);
    state->history = py::reinterpret_borrow<py::object>(history);
    state->pathconfig = py::reinterpret_borrow<py::object>(pathconfig);

    build_header(tk, state, name, deviceNAME);
    build_settings(tk, state);
    build_channel_heading(tk, root);
    build_channel_rows(tk, state, channelNames);

    state->var = ui::make_int_var(tk, root);
    place(make_widget(tk, "Checkbutton", root,
                      py::dict("text"_a = "All", "variable"_a = state->var,
                               "command"_a = ui::all_channels_action(state))),
          py::dict("row"_a = 8, "column"_a = 1, "sticky"_a = "W"));
    return py::make_tuple(root, tk);
}

void register_window(py::module_ &m) {
    define(m, "initializeroot",
           [](py::object root, py::object vicon, py::object deviceID, py::object outputID) {
               return initializeroot(root, vicon, deviceID, outputID);
           },
           py::arg("root"), py::arg("vicon"), py::arg("deviceID"), py::arg("outputID"));
    define(m, "initializewindow",
           [](py::object root, py::object tk, py::object vicon, py::object subjects,
              py::object name, py::object deviceNAME, py::object deviceID, py::object outputID,
              py::object channelNames, py::object history, py::object pathconfig) {
               return initializewindow(root, tk, vicon, subjects, name, deviceNAME, deviceID,
                                       outputID, channelNames, history, pathconfig);
           },
           py::arg("root"), py::arg("tk"), py::arg("vicon"), py::arg("subjects"),
           py::arg("name"), py::arg("deviceNAME"), py::arg("deviceID"), py::arg("outputID"),
           py::arg("channelNames"), py::arg("history"), py::arg("pathconfig"));
}

}  // namespace quorvaemg
