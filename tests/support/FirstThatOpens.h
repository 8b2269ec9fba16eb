// A port device that several simulated devices stand behind, each under its own name.
#pragma once

#include "serial/SerialDevice.h"

#include <vector>

namespace kt::test {

// Makes devices that open a name with the first of `factories`' devices that
// does not answer NotFound, and then act as that one.
serial::SerialDeviceFactory FirstThatOpens(std::vector<serial::SerialDeviceFactory> factories);

}  // namespace kt::test
