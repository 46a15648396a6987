// A text file that replaces its target only once it is complete.
//
// Lines go to a temporary file in the target's folder (Python text mode:
// default encoding, platform line end); commit() moves it over the target.
// Until then the old file stays as it was, and a file abandoned on an error
// path is removed again.
#pragma once

#include <pybind11/pybind11.h>

namespace py = pybind11;

namespace quorvaemg {

class AtomicTextFile {
public:
    explicit AtomicTextFile(py::handle target);
    AtomicTextFile(const AtomicTextFile &) = delete;
    AtomicTextFile &operator=(const AtomicTextFile &) = delete;
    ~AtomicTextFile();

    // str(value) and a line end.
    void write_line(py::handle value);
    void commit();

private:
    // Removes the temporary file, dropping any error of its own.
    void remove_temporary() noexcept;

    py::object os_;
    py::object target_;
    py::object temp_path_;
    py::object file_;
};

}  // namespace quorvaemg
