#include "module/text_file.hpp"

#include "base/pyops.hpp"
#include "module/quorvaemg.hpp"

namespace quorvaemg {

TextFile::TextFile(py::handle path, const char *mode)
    : file_(module_global("open")(path, mode)) {}

TextFile::~TextFile() {
    if (file_) {
        quiet_cleanup([this] { close(); });
    }
}

void TextFile::write(py::handle text) { file_.attr("write")(text); }

void TextFile::write_line(py::handle text) {
    write(text);
    write(py::str("\n"));
}

py::list TextFile::read_lines() { return file_.attr("readlines")(); }

void TextFile::close() {
    py::object file = std::move(file_);
    file.attr("close")();
}

}  // namespace quorvaemg
