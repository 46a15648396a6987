#include "host/nexus.hpp"
#include "base/pyops.hpp"
#include "module/quorvaemg.hpp"
#include "processing/figure.hpp"
#include "processing/processing.hpp"

#include <optional>

namespace quorvaemg {

namespace {

// The figure is left in `figure`, so that it is closed on every way out of
// the preview, showing included.
void preview_channel(py::handle vicon, py::handle deviceID, py::handle outputID,
                     py::handle channelNames, Py_ssize_t k, const ChainSettings &settings,
                     std::optional<FigureGuard> &figure) {
    py::object plt = module_global("plt");
    py::object emg = samples_array(host::channel_samples(vicon, deviceID, outputID, py::int_(k + 1)));
    py::object channel_name = item(channelNames, k);

    figure.emplace(plt.attr("figure")());
    set_window_title(figure->get(), concat(py::str("Channel "),
                                          to_text(concat(channel_name, py::str(" - PREVIEW")))));
    plt.attr("plot")(emg, py::arg("color") = "b", py::arg("linewidth") = 1);
    py::object emg_filtered = run_chain(emg, settings);
    print_line(concat(py::str("Preview: "), channel_name));
    plt.attr("plot")(emg_filtered, py::arg("color") = "r", py::arg("linewidth") = 2);
}

}  // namespace

void displaysig(py::handle a, py::handle, py::handle vicon, py::handle deviceID,
                py::handle outputID, py::handle numch, const ProcessingSettings &passed) {
    py::object channelNames = host::output_channel_names(vicon, deviceID, outputID);
    ChainSettings settings = convert_settings(passed);
    Selection selection = read_selection(a, numch);
    std::optional<FigureGuard> figure;
    if (selection.any) {
        std::vector<Py_ssize_t> ticked = selection.ticked();
        if (!ticked.empty()) {
            preview_channel(vicon, deviceID, outputID, channelNames, ticked.front(), settings,
                            figure);
        }
    }
    py::object plt = module_global("plt");
    plt.attr("tight_layout")();
    plt.attr("show")();
    plt.attr("close")();
    if (figure) {
        figure->release();
    }
}

void register_preview(py::module_ &m) {
    define(m,
        "displaysig",
        [](py::object a, py::object b, py::object vicon, py::object deviceID, py::object outputID,
           py::object numch, py::object mnb, py::object lowb, py::object highb, py::object rectb,
           py::object rmsb, py::object high, py::object highOrd, py::object low,
           py::object lowOrd, py::object www) {
            ProcessingSettings passed{mnb, lowb, highb, rectb, rmsb, high, highOrd, low, lowOrd, www};
            displaysig(a, b, vicon, deviceID, outputID, numch, passed);
        },
        py::arg("a"), py::arg("b"), py::arg("vicon"), py::arg("deviceID"), py::arg("outputID"),
        py::arg("numch"), py::arg("mnb"), py::arg("lowb"), py::arg("highb"), py::arg("rectb"),
        py::arg("rmsb"), py::arg("high"), py::arg("highOrd"), py::arg("low"), py::arg("lowOrd"),
        py::arg("www"));
}

}  // namespace quorvaemg
