// The module: start-up imports, then the function table in its order.
#include "module/quorvaemg.hpp"

PYBIND11_MODULE(quorvaemg, m) {
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
