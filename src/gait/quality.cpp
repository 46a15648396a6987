#include "gait/gait.hpp"

namespace quorvaemg::gait {

void register_quality(py::module_ &) {}

}  // namespace quorvaemg::gait
