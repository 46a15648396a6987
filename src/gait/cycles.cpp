#include "gait/gait.hpp"

namespace quorvaemg::gait {

void register_cycles(py::module_ &) {}

}  // namespace quorvaemg::gait
