#include "hw_status.hpp"

namespace qz121032 {

std::shared_ptr<HardwareStatus> HardwareStatus::open() { return std::make_shared<HardwareStatus>(); }

}  // namespace qz121032
