#include "access/os_local.h"

#include <ifaddrs.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net/os_socket.h"

namespace kelvox::os {

std::string MachineHostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

std::vector<TIpAddress> InterfaceAddresses() {
  std::vector<TIpAddress> addresses;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return addresses;
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr) continue;
    const int family = entry->ifa_addr->sa_family;
    if (family != AF_INET && family != AF_INET6) continue;
    const TIpAddress ip = FromStorage(entry->ifa_addr, nullptr);
    if (ip.IsV6() && ip.Bytes[0] == 0xFE && (ip.Bytes[1] & 0xC0) == 0x80) continue;
    addresses.push_back(ip);
  }
  ::freeifaddrs(list);
  return addresses;
}

}  // namespace kelvox::os
