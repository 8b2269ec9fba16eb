// The computer's local civil time, as the system's time zone gives it.
#pragma once

#include <ctime>

namespace kt::platform {

// `when` in local time; every field 0 when the system cannot convert it.
std::tm LocalTime(std::time_t when);

}  // namespace kt::platform
