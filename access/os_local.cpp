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

std::vector<TIpAddress> InterfaceAddresses() {
  std::vector<TIpAddress> addresses;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return addresses;
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr) continue;
    // Copied rather than cast: sockaddr does not promise the others' alignment.
    if (entry->ifa_addr->sa_family == AF_INET) {
      sockaddr_in address{};
      std::memcpy(&address, entry->ifa_addr, sizeof address);
      addresses.push_back(TIpAddress::V4(address.sin_addr.s_addr));
    } else if (entry->ifa_addr->sa_family == AF_INET6) {
      sockaddr_in6 address{};
      std::memcpy(&address, entry->ifa_addr, sizeof address);
      TIpAddress ip;
      ip.Family = TIpAddress::TFamily::kV6;
      std::memcpy(ip.Bytes.data(), &address.sin6_addr, 16);
      if (ip.Bytes[0] == 0xFE && (ip.Bytes[1] & 0xC0) == 0x80) continue;
      addresses.push_back(ip);
    }
  }
  ::freeifaddrs(list);
  return addresses;
}

}  // namespace kelvox::os
