#include "module/quorvaemg.hpp"

#include "base/pyops.hpp"

namespace quorvaemg {

namespace {

// `from <module> import *`: the names in __all__, or else every name that
// does not start with an underscore.
void star_import(py::module_ &m, const char *name) {
    py::module_ source = py::module_::import(name);
    py::object names;
    if (py::hasattr(source, "__all__")) {
        names = source.attr("__all__");
    } else {
        py::list public_names;
        for (py::handle key : py::list(source.attr("__dict__").attr("keys")())) {
            std::string name = key.cast<std::string>();
            if (name.empty() || name[0] != '_') {
                public_names.append(key);
            }
        }
        names = public_names;
    }
    for (py::handle key : names) {
        m.attr(key) = source.attr(key);
    }
}

}  // namespace

py::object module_global(const char *name) {
    return global_name(py::module_::import("quorvaemg"), name);
}

void print_line(py::handle text) { module_global("print")(text); }

void run_startup_imports(py::module_ &m) {
    star_import(m, "numpy");
    m.attr("plt") = py::module_::import("matplotlib.pyplot");
    m.attr("time") = py::module_::import("time");
    m.attr("tk") = py::module_::import("tkinter");
    m.attr("messagebox") = py::module_::import("tkinter.messagebox");
    m.attr("sp") = py::module_::import("scipy");
    // Loading the subpackage also makes it reachable as sp.signal.
    m.attr("signal") = py::module_::import("scipy.signal");
    star_import(m, "plotvane");
}

}  // namespace quorvaemg
