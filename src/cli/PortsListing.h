// `kt-flash-cli ports`: the port names for scripts, and what tells the ports
// apart for people.
#pragma once

#include "serial/PortList.h"

#include <ostream>
#include <string>
#include <vector>

namespace kt::cli {

// The names on `out`, one a line and nothing else, in the order a device
// command probes them: the remembered port first (when there is one, whether
// or not the system lists it now), then the system's others. Under each name,
// on `err`, indented lines tell the port apart: product, manufacturer and
// USB ids, serial number, driver, by-id name, and why this user may not open
// it. Both streams are flushed at every port, so that where they go to one
// terminal each port's lines follow its name.
void PrintPortListing(std::ostream& out, std::ostream& err, const std::vector<serial::PortDescription>& ports,
                      const std::string& rememberedPort);

}  // namespace kt::cli
