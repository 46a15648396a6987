#include "config/atomic_text_file.hpp"

#include "base/pyops.hpp"

namespace quorvaemg {

namespace {

// Random names are tried this many times before the collision is reported,
// as mkstemp does.
constexpr int temporary_name_attempts = 100;

// A new file opened the way open(target, "w") would create the target: mode
// 0666 less the process umask, applied by the system.  Reading the umask
// would mean setting it, and for that moment every other thread of the host
// would create its files with the wrong mode.  Binary at the descriptor
// level so that only Python's text layer translates line ends on Windows.
py::object create_temporary(py::handle os, py::handle folder, py::handle base, py::object &path) {
    py::object flags = os.attr("O_WRONLY") | os.attr("O_CREAT") | os.attr("O_EXCL") |
                       py::getattr(os, "O_BINARY", py::int_(0));
    for (int attempt = 1;; ++attempt) {
        py::object token = os.attr("urandom")(6).attr("hex")();
        path = os.attr("path").attr("join")(
            folder, concat_all({py::str("."), base, py::str("."), token, py::str(".tmp")}));
        try {
            return os.attr("open")(path, flags, 0666);
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_FileExistsError) || attempt == temporary_name_attempts) {
                path = py::object();
                throw;
            }
        }
    }
}

}  // namespace

AtomicTextFile::AtomicTextFile(py::handle target)
    : os_(py::module_::import("os")), target_(py::reinterpret_borrow<py::object>(target)) {
    py::object folder = os_.attr("path").attr("dirname")(target);
    if (!truth(folder)) {
        folder = os_.attr("curdir");
    }
    py::object base = os_.attr("path").attr("basename")(target);
    py::object descriptor = create_temporary(os_, folder, base, temp_path_);
    try {
        file_ = os_.attr("fdopen")(descriptor, "w");
    } catch (py::error_already_set &) {
        quiet_cleanup([&] { os_.attr("close")(descriptor); });
        remove_temporary();
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
    remove_temporary();
}

void AtomicTextFile::remove_temporary() noexcept {
    quiet_cleanup([this] {
        py::object path = std::move(temp_path_);
        os_.attr("remove")(path);
    });
}

void AtomicTextFile::write_line(py::handle value) {
    file_.attr("write")(concat(to_text(value), py::str("\n")));
}

void AtomicTextFile::commit() {
    py::object file = std::move(file_);
    file.attr("close")();
    // A replaced file keeps its permissions, as it would when opened with "w";
    // a new one has those it was created with.
    if (truth(os_.attr("path").attr("exists")(target_))) {
        py::object mode =
            py::module_::import("stat").attr("S_IMODE")(os_.attr("stat")(target_).attr("st_mode"));
        os_.attr("chmod")(temp_path_, mode);
    }
    os_.attr("replace")(temp_path_, target_);
    temp_path_ = py::object();
}

}  // namespace quorvaemg
