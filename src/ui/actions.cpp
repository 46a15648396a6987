#include "ui/actions.hpp"

#include "base/pyops.hpp"
#include "module/quorvaemg.hpp"
#include "processing/chain.hpp"
#include "ui/tk_widgets.hpp"

namespace quorvaemg::ui {

namespace {

// The ten settings as the window holds them: switch values and entry texts,
// unchanged (an empty or non-numeric text is for the receiver to judge).
ProcessingSettings read_settings(const MainWindowState &s) {
    ProcessingSettings w;
    w.mnb = read_var(s.mn_bool);
    w.lowb = read_var(s.low_bool);
    w.highb = read_var(s.high_bool);
    w.rectb = read_var(s.rect_bool);
    w.rmsb = read_var(s.rms_bool);
    w.high = read_entry(s.entryHigh);
    w.highOrd = read_entry(s.entryHighOrd);
    w.low = read_entry(s.entryLow);
    w.lowOrd = read_entry(s.entryLowOrd);
    w.www = read_entry(s.entryRMS);
    return w;
}

}  // namespace

py::cpp_function process_action(const WindowState &state) {
    return py::cpp_function([state]() {
        const MainWindowState &s = *state;
        py::int_ numch(s.numch);
        ProcessingSettings w = read_settings(s);
        return module_global("processsignal")(s.root, s.a, s.b, s.vicon, s.deviceID, s.outputID,
                                              numch, w.mnb, w.lowb, w.highb, w.rectb, w.rmsb,
                                              w.high, w.highOrd, w.low, w.lowOrd, w.www,
                                              s.history);
    });
}

py::cpp_function preview_action(const WindowState &state) {
    return py::cpp_function([state]() {
        const MainWindowState &s = *state;
        py::int_ numch(s.numch);
        ProcessingSettings w = read_settings(s);
        return module_global("displaysig")(s.a, s.b, s.vicon, s.deviceID, s.outputID, numch, w.mnb,
                                           w.lowb, w.highb, w.rectb, w.rmsb, w.high, w.highOrd,
                                           w.low, w.lowOrd, w.www);
    });
}

py::cpp_function save_configuration_action(const WindowState &state) {
    return py::cpp_function([state]() {
        const MainWindowState &s = *state;
        py::int_ numch(s.numch);
        ProcessingSettings w = read_settings(s);
        return module_global("saveparameters")(s.pathconfig, s.root, s.a, s.b, numch, w.mnb,
                                               w.lowb, w.highb, w.rectb, w.rmsb, w.high,
                                               w.highOrd, w.low, w.lowOrd, w.www);
    });
}

py::cpp_function report_action(const WindowState &state) {
    return py::cpp_function([state]() {
        const MainWindowState &s = *state;
        py::int_ numch(s.numch);
        py::object subject = item(s.subjects, 0);
        return module_global("printreportwindow")(s.deviceID, s.outputID, s.root, s.a, s.b, numch,
                                                  s.vicon, subject);
    });
}

py::cpp_function low_pass_switch_action(const WindowState &state) {
    return py::cpp_function([state]() {
        return module_global("disabletxt")(state->entryLow, state->entryLowOrd, state->low_bool);
    });
}

py::cpp_function high_pass_switch_action(const WindowState &state) {
    return py::cpp_function([state]() {
        return module_global("disabletxt")(state->entryHigh, state->entryHighOrd,
                                           state->high_bool);
    });
}

py::cpp_function rms_switch_action(const WindowState &state) {
    // One entry belongs to the RMS switch; it is handed in as both entries.
    return py::cpp_function([state]() {
        return module_global("disabletxt")(state->entryRMS, state->entryRMS, state->rms_bool);
    });
}

py::cpp_function all_channels_action(const WindowState &state) {
    return py::cpp_function([state]() {
        return module_global("selectcheck")(state->var, py::int_(state->numch), state->a);
    });
}

}  // namespace quorvaemg::ui
