// The system's serial ports, as device paths in a stable, natural order.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kt::serial {

// The override when one is set, else ListSystemPorts().
std::vector<std::string> GetSerialPortList();
// Tests and simulators supply the list here; std::nullopt returns to the system's list.
void SetPortListOverride(std::optional<std::vector<std::string>> ports);

// Platform part: every serial port with a real device behind it, naturally sorted.
// Opens nothing but candidates that may be phantoms (Linux: 8250 UARTs).
std::vector<std::string> ListSystemPorts();

// Digit runs compare by value: "ttyACM2" before "ttyACM10".
bool NaturalLess(std::string_view a, std::string_view b);

}  // namespace kt::serial
