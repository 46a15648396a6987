// quorvaemg: surface-EMG processing for Vicon Nexus 2.
//
// The functions a Nexus pipeline script calls (host entries) and the
// registrars through which each subsystem adds its functions to the module.
// Every function takes Python objects as the host hands them in and returns
// None unless noted.
#pragma once

#include <pybind11/pybind11.h>

#include <utility>

namespace py = pybind11;

namespace quorvaemg {

// Start-up: the eight imports, bound in the module namespace.
void run_startup_imports(py::module_ &m);

// A global name as the module's own code finds it (see global_name): the
// window's callbacks reach each other through these, so that a name the
// host rebinds in the module is the one called.
py::object module_global(const char *name);

// print(text) as the module's code calls it; nothing when sys.stdout is
// None (pythonw, some embedding hosts).
void print_line(py::handle text);

// Host entries, and the functions the window's actions reach.
void test();
void printinfo(py::handle vicon);
// Returns (root, channelNames).
py::tuple initializeroot(py::handle root, py::handle vicon, py::handle deviceID,
                         py::handle outputID);
// Returns (root, tk).
py::tuple initializewindow(py::handle root, py::handle tk, py::handle vicon, py::handle subjects,
                           py::handle name, py::handle deviceNAME, py::handle deviceID,
                           py::handle outputID, py::handle channelNames, py::handle history,
                           py::handle pathconfig);
void printreportwindow(py::handle deviceID, py::handle outputID, py::handle root, py::handle a,
                       py::handle b, py::handle numch, py::handle vicon, py::handle nomesogg);
void on_closing(py::handle root2, py::handle root);
void createpdf(py::handle root, py::handle root2, py::handle vicon, py::handle a, py::handle b,
               py::handle numch, py::handle nomesogg, py::handle deviceID, py::handle outputID,
               py::handle notes, py::handle head, py::handle doc, py::handle events);
void readconfig(py::handle vicon, py::handle percorso, py::handle deviceID, py::handle outputID,
                py::handle printhistory);

// m.def() that first drops a name the star imports bound (numpy has its own
// `test`), as a `def` after `from numpy import *` simply rebinds it.
template <typename Func, typename... Extra>
void define(py::module_ &m, const char *name, Func &&f, const Extra &...extra) {
    if (py::hasattr(m, name)) {
        py::delattr(m, name);
    }
    m.def(name, std::forward<Func>(f), extra...);
}

// Registrars, each in its subsystem's folder.  The module calls them so that
// the functions appear in the order of the module's function table.
void register_diagnostics(py::module_ &m);     // test, printinfo
void register_rms(py::module_ &m);             // rms, window_rms
void register_processing(py::module_ &m);      // processsignal
void register_config_writer(py::module_ &m);   // saveparameters
void register_preview(py::module_ &m);         // displaysig
void register_report(py::module_ &m);          // on_closing, printreportwindow, createpdf
void register_widget_helpers(py::module_ &m);  // selectcheck, disabletxt, disabledrop
void register_window(py::module_ &m);          // initializeroot, initializewindow
void register_batch(py::module_ &m);           // readconfig

}  // namespace quorvaemg
