#include "gait/gait.hpp"

namespace quorvaemg::gait {

void register_envelope(py::module_ &) {}

}  // namespace quorvaemg::gait
