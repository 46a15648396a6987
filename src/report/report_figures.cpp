// Report generation: one figure per ticked channel, saved beside the trial,
// then the report writer.
#include "host/nexus.hpp"
#include "base/pyops.hpp"
#include "module/quorvaemg.hpp"
#include "processing/chain.hpp"
#include "processing/figure.hpp"

#include <set>
#include <string>

namespace quorvaemg {

namespace {

struct GaitEvents {
    py::object factor;  // device samples per trial frame
    py::object left_strikes, right_strikes, left_offs, right_offs;
};

GaitEvents read_gait_events(py::handle vicon, py::handle deviceID, py::handle subject) {
    GaitEvents events;
    py::object rate = host::device_rate(vicon, deviceID);
    py::object frames_per_second = host::frame_rate(vicon);
    events.factor = true_divide(rate, frames_per_second);
    events.left_strikes = host::event_frames(vicon, subject, "Left", "Foot Strike");
    events.right_strikes = host::event_frames(vicon, subject, "Right", "Foot Strike");
    events.left_offs = host::event_frames(vicon, subject, "Left", "Foot Off");
    events.right_offs = host::event_frames(vicon, subject, "Right", "Foot Off");
    return events;
}

// Vertical lines for one side: strikes dashed, offs solid, in the side's
// colour.  The legend names only the kinds of line that were drawn, so a
// side without strikes or without offs still gets an honest legend.
void draw_side_events(py::handle axes, py::handle strikes, py::handle offs, py::handle factor,
                      const char *colour) {
    py::list handles, labels;
    py::object last;
    for (py::handle frame : strikes) {
        last = axes.attr("axvline")(py::arg("x") = multiply(frame, factor), py::arg("color") = colour,
                                    py::arg("linestyle") = "--");
    }
    if (last) {
        handles.append(last);
        labels.append("Heel Strike");
        last = py::object();
    }
    for (py::handle frame : offs) {
        last = axes.attr("axvline")(py::arg("x") = multiply(frame, factor), py::arg("color") = colour);
    }
    if (last) {
        handles.append(last);
        labels.append("Toe Off");
    }
    if (py::len(handles) > 0) {
        axes.attr("legend")(handles, labels);
    }
}

void draw_events(py::handle axes, py::handle channel_name, const GaitEvents &events) {
    std::string name = to_text(channel_name);
    if (name.empty()) {
        return;
    }
    if (name[0] == 'l' || name[0] == 'L') {
        draw_side_events(axes, events.left_strikes, events.left_offs, events.factor, "r");
    }
    if (name[0] == 'r' || name[0] == 'R') {
        draw_side_events(axes, events.right_strikes, events.right_offs, events.factor, "g");
    }
}

// Characters that cannot stand in a file name on the lab's machines become
// '_', so a name can neither leave the trial folder nor fail to save.  The
// control characters are among them: a NUL cannot reach the file system at
// all, and Windows refuses the others.
std::string safe_file_part(std::string text) {
    for (char &c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == '\x7f') {
            c = '_';
            continue;
        }
        switch (c) {
        case '/': case '\\': case ':': case '*': case '?': case '"': case '<': case '>': case '|':
            c = '_';
            break;
        default:
            break;
        }
    }
    return text;
}

// folder + trial + "_" + channel + ".png"; a name already used in this
// report gets the channel number added, so no image replaces another.
class ImageNames {
public:
    ImageNames(py::handle folder, py::handle trial)
        : folder_(py::reinterpret_borrow<py::object>(folder)),
          trial_(safe_file_part(to_text(trial))) {}

    py::object next(py::handle channel_name, Py_ssize_t channel_number) {
        std::string stem = trial_ + "_" + safe_file_part(to_text(channel_name));
        while (!used_.insert(stem).second) {
            stem += "_" + std::to_string(channel_number);
        }
        return concat(folder_, py::str(stem + ".png"));
    }

private:
    py::object folder_;
    std::string trial_;
    std::set<std::string> used_;
};

py::object save_channel_figure(py::handle emg, py::handle channel_name, const GaitEvents *events,
                               py::handle image_path) {
    py::object plt = module_global("plt");
    auto made = unpack(plt.attr("subplots")(1, 1, py::arg("figsize") = py::make_tuple(25, 10),
                                            py::arg("dpi") = 95),
                       2);
    FigureGuard figure(made[0]);
    py::object f1 = made[1];
    set_window_title(figure.get(), py::str("Myolex - EMG signals"));
    f1.attr("plot")(emg, py::arg("color") = "b", py::arg("linewidth") = 1);
    if (events != nullptr) {
        draw_events(f1, channel_name, *events);
    }
    f1.attr("grid")();
    f1.attr("set_ylabel")("EMG [V]");
    f1.attr("set_xlabel")("Samples", py::arg("fontsize") = 20);
    f1.attr("set_title")(concat(channel_name, py::str(" [V]")), py::arg("fontsize") = 28);
    figure.get().attr("tight_layout")();
    figure.get().attr("savefig")(image_path);
    figure.close();
    return py::reinterpret_borrow<py::object>(image_path);
}

}  // namespace

void createpdf(py::handle root, py::handle root2, py::handle vicon, py::handle a, py::handle,
               py::handle numch, py::handle nomesogg, py::handle deviceID, py::handle outputID,
               py::handle notes, py::handle head, py::handle doc, py::handle events) {
    host::TrialName trial = host::trial_name(vicon);
    py::object channelNames = host::output_channel_names(vicon, deviceID, outputID);
    Selection selection = read_selection(a, numch);
    py::list imglist;

    std::unique_ptr<GaitEvents> gait;
    if (truth(events)) {
        gait = std::make_unique<GaitEvents>(read_gait_events(vicon, deviceID, nomesogg));
    }

    if (selection.any) {
        ImageNames names(trial.folder, trial.name);
        for (Py_ssize_t c : selection.ticked()) {
            py::object emg =
                samples_array(host::channel_samples(vicon, deviceID, outputID, py::int_(c + 1)));
            py::object channel_name = item(channelNames, c);
            py::object finpath = names.next(channel_name, c + 1);
            imglist.append(finpath);
            save_channel_figure(emg, channel_name, gait.get(), finpath);
        }
    }

    py::object notes_text = notes.attr("get")("1.0", "end-1c");
    py::object doc_text = to_text(doc);
    py::object head_text = to_text(head);
    module_global("repemg")(imglist, root, vicon, nomesogg, trial.name, trial.folder, notes_text,
                            doc_text, head_text);
    root2.attr("destroy")();
    root.attr("destroy")();
}

}  // namespace quorvaemg
