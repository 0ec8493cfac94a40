#include "access/os_local.h"

#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace kelvox::os {

std::string MachineHostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

std::vector<uint32_t> InterfaceAddresses() {
  std::vector<uint32_t> addresses;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return addresses;
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
    sockaddr_in address{};
    // Copied rather than cast: sockaddr does not promise sockaddr_in's alignment.
    std::memcpy(&address, entry->ifa_addr, sizeof address);
    addresses.push_back(address.sin_addr.s_addr);
  }
  ::freeifaddrs(list);
  return addresses;
}

}  // namespace kelvox::os
