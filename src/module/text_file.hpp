// A text file opened through Python's own open(), so the host interpreter's
// default encoding and platform line end apply exactly as for a script.
#pragma once

#include <pybind11/pybind11.h>

namespace py = pybind11;

namespace quorvaemg {

class TextFile {
public:
    TextFile(py::handle path, const char *mode);
    TextFile(const TextFile &) = delete;
    TextFile &operator=(const TextFile &) = delete;
    // On an error path the file is still closed (and so flushed), as
    // CPython's reference counting would close it; a second error raised by
    // that close is dropped so the first one reaches the caller.
    ~TextFile();

    void write(py::handle text);
    void write_line(py::handle text);
    py::list read_lines();
    // Closes and reports any error of the final flush.
    void close();

private:
    py::object file_;
};

}  // namespace quorvaemg
