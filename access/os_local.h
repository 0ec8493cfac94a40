// The machine's own name and addresses, straight from the operating system.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "net/ip_address.h"

namespace kelvox::os {

/// The machine's host name (gethostname); empty when it cannot be had.
std::string MachineHostName();

/// The IPv4 and IPv6 addresses of the machine's interfaces (getifaddrs), in
/// the order the system reports them, without the IPv6 link-local ones
/// (fe80::/10), which name no address without their interface; empty when they
/// cannot be had.
std::vector<TIpAddress> InterfaceAddresses();

}  // namespace kelvox::os
