// The module: start-up imports, then the function table in its order.
#include "module/quorvaemg.hpp"

namespace {

void define_module(py::module_ &m) {
    // Only rms carries a documentation string; no generated signatures.
    py::options options;
    options.disable_function_signatures();

    quorvaemg::run_startup_imports(m);

    quorvaemg::register_diagnostics(m);
    quorvaemg::register_rms(m);
    quorvaemg::register_processing(m);
    quorvaemg::register_config_writer(m);
    quorvaemg::register_preview(m);
    quorvaemg::register_report(m);
    quorvaemg::register_widget_helpers(m);
    quorvaemg::register_window(m);
    quorvaemg::register_batch(m);
}

}  // namespace

// The entry point is spelled out rather than taken from PYBIND11_MODULE: a
// start-up import that fails must reach the host as that import's own
// exception (ModuleNotFoundError for a missing numpy, say), not wrapped in
// an ImportError("initialization failed").
extern "C" PYBIND11_EXPORT PyObject *PyInit_quorvaemg();

extern "C" PYBIND11_EXPORT PyObject *PyInit_quorvaemg() {
    PYBIND11_CHECK_PYTHON_VERSION
    PYBIND11_ENSURE_INTERNALS_READY
    // CPython keeps a pointer to the definition for the life of the module.
    static py::module_::module_def definition;
    auto m = py::module_::create_extension_module("quorvaemg", nullptr, &definition);
    try {
        define_module(m);
        return m.ptr();
    } catch (py::error_already_set &e) {
        e.restore();
        return nullptr;
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_ImportError, e.what());
        return nullptr;
    } catch (...) {
        // Nothing may unwind into the interpreter's import machinery.
        PyErr_SetString(PyExc_ImportError, "quorvaemg: initialisation failed");
        return nullptr;
    }
}
