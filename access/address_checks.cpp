#include "access/address_checks.h"

#include <cstdint>
#include <optional>

#include "access/mask.h"
#include "access/os_local.h"
#include "net/os_socket.h"
#include "net/resolve.h"
#include "net/wsocket_errors.h"

namespace kelvox {

namespace {

constexpr std::size_t kMaxNameLength = 256;

// ResolveAddress, with a refused text as nullopt.
std::optional<std::string> TryResolve(const TAddressChecks& checks, const std::string& name) {
  try {
    return checks.ResolveAddress(name);
  } catch (const ESocketException&) {
    return std::nullopt;
  }
}

}  // namespace

TAddressChecks::TAddressChecks() : MachineName(os::MachineHostName) {}

std::string TAddressChecks::GetLocalIp() const {
  uint32_t addr = 0;
  if (os::LookupHost(MachineName ? MachineName() : std::string(), addr) != 0) return {};
  return os::DottedText(addr);
}

std::string TAddressChecks::ConvertLocalIp(const std::string& address) const {
  return address == "127.0.0.1" ? GetLocalIp() : address;
}

std::string TAddressChecks::ResolveAddress(const std::string& name) const {
  if (name.empty() || name.size() > kMaxNameLength) {
    throw ESocketException("WSocketResolveHost: '" + name + "' Invalid Hostname.");
  }
  if (WSocketIsDottedQuad(name)) return ConvertLocalIp(name);
  uint32_t addr = 0;
  if (os::LookupHost(TrimControls(name), addr) == 0) return ConvertLocalIp(os::DottedText(addr));
  return name;
}

bool TAddressChecks::InMaskList(const TEntries& list, const std::string& address) const {
  const auto tested = TryResolve(*this, address);
  if (!tested) return false;
  bool found = false;
  // The whole list is examined also after a match, so the lookups a check makes
  // do not depend on where its match lies.
  for (const std::string& entry : list) {
    const auto mask = TryResolve(*this, entry);
    if (mask && MatchMask(*mask, *tested)) found = true;
  }
  return found;
}

bool TAddressChecks::InServerList(const TEntries& list, const std::string& host) const {
  const auto tested = TryResolve(*this, host);
  if (!tested) return false;
  bool found = false;
  for (const std::string& entry : list) {
    const auto resolved = WSocketIsDottedQuad(entry) ? std::optional<std::string>(entry) : TryResolve(*this, entry);
    if (resolved && *resolved == *tested) found = true;
  }
  return found;
}

bool TAddressChecks::InIpList(const TEntries& list, const std::string& address) const {
  const std::string tested = TrimControls(address);
  bool found = false;
  for (const std::string& entry : list) {
    if (MatchMask(TrimControls(entry), tested)) found = true;
  }
  return found;
}

std::vector<std::string> LoadIp() {
  std::vector<std::string> available;
  for (const uint32_t addr : os::InterfaceAddresses()) available.push_back(os::DottedText(addr));
  return available;
}

}  // namespace kelvox
