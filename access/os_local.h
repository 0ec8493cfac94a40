// The machine's own name and addresses, straight from the operating system.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kelvox::os {

/// The machine's host name (gethostname); empty when it cannot be had.
std::string MachineHostName();

/// The IPv4 addresses of the machine's interfaces (getifaddrs), network order,
/// in the order the system reports them; empty when they cannot be had.
std::vector<uint32_t> InterfaceAddresses();

}  // namespace kelvox::os
