#include "config/atomic_text_file.hpp"

#include "module/pyops.hpp"

namespace quorvaemg {

namespace {

// The permissions a plain open(target, "w") would leave: the old file's, or
// the process default for a new one.
py::object permissions_for(py::handle os, py::handle target) {
    if (truth(os.attr("path").attr("exists")(target))) {
        return py::module_::import("stat").attr("S_IMODE")(os.attr("stat")(target).attr("st_mode"));
    }
    py::object mask = os.attr("umask")(0);
    os.attr("umask")(mask);
    return py::int_(0666) & ~mask;
}

}  // namespace

AtomicTextFile::AtomicTextFile(py::handle target)
    : os_(py::module_::import("os")), target_(py::reinterpret_borrow<py::object>(target)) {
    py::object folder = os_.attr("path").attr("dirname")(target);
    if (!truth(folder)) {
        folder = os_.attr("curdir");
    }
    py::object base = os_.attr("path").attr("basename")(target);
    auto made = unpack(py::module_::import("tempfile")
                           .attr("mkstemp")(py::arg("prefix") = concat_all({py::str("."), base, py::str(".")}),
                                            py::arg("suffix") = ".tmp", py::arg("dir") = folder),
                       2);
    temp_path_ = made[1];
    try {
        file_ = os_.attr("fdopen")(made[0], "w");
    } catch (py::error_already_set &) {
        os_.attr("close")(made[0]);
        throw;
    }
}

AtomicTextFile::~AtomicTextFile() {
    if (!temp_path_) {
        return;
    }
    quiet_cleanup([this] {
        if (file_) {
            py::object file = std::move(file_);
            file.attr("close")();
        }
    });
    quiet_cleanup([this] { os_.attr("remove")(temp_path_); });
}

void AtomicTextFile::write_line(py::handle value) {
    file_.attr("write")(concat(to_text(value), py::str("\n")));
}

void AtomicTextFile::commit() {
    py::object file = std::move(file_);
    file.attr("close")();
    os_.attr("chmod")(temp_path_, permissions_for(os_, target_));
    os_.attr("replace")(temp_path_, target_);
    temp_path_ = py::object();
}

}  // namespace quorvaemg
