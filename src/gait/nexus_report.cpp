#include "gait/gait.hpp"

namespace quorvaemg::gait {

void register_nexus_report(py::module_ &) {}

}  // namespace quorvaemg::gait
