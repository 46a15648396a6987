#include "gait/gait.hpp"

namespace quorvaemg::gait {

void register_nexus_quality(py::module_ &) {}

}  // namespace quorvaemg::gait
