// Register map of the STS3025BL nose servos: exactly the shared Feetech operations (the nose
// never has its offset rewritten, so there is no offset or lock access here).
#pragma once

#include "servo_bus/servo/feetech/shared_operations.hpp"

namespace kestro::servo_bus::sts3025bl {

using namespace feetech_servo;

}  // namespace kestro::servo_bus::sts3025bl
