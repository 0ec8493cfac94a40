#include "access/address_checks.h"

#include <cstdint>
#include <optional>
#include <unordered_set>

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

// What may be looked up: a mask or an address is no host name (nor is any
// text with a colon, which only IPv6 addresses and their masks hold).
bool IsHostName(const std::string& name) {
  return !name.empty() && name.size() <= kMaxNameLength && name.find('*') == std::string::npos &&
         name.find(':') == std::string::npos && !WSocketIsDottedQuad(name);
}

// An IPv6 literal in its compressed lower-case form, the form the sockets
// report; nullopt for any other text.
std::optional<std::string> Ipv6Text(const std::string& text) {
  const auto ip = Ipv6Literal(text);
  return ip ? std::optional(ip->Text()) : std::nullopt;
}

}  // namespace

TAddressChecks::TAddressChecks() : MachineName(os::MachineHostName) {}

void TAddressChecks::RefreshLocalIp() {
  const std::string name = MachineName ? MachineName() : std::string();
  const auto answered = alive_.Guard([this](const std::string& address) { local_ip_ = address; });
  if (WSocketIsDottedQuad(name)) return answered(os::DottedText(os::ParseAddress(TrimControls(name))));
  if (const auto v6 = Ipv6Text(name)) return answered(*v6);
  if (name.empty() || !Resolve) return answered("");
  Resolve(name, answered);
}

std::string TAddressChecks::GetLocalIp() const { return local_ip_; }

std::string TAddressChecks::ConvertLocalIp(const std::string& address) const {
  return address == "127.0.0.1" || address == "::1" ? GetLocalIp() : address;
}

void TAddressChecks::Ask(const std::string& name) const {
  TName& entry = names_[name];
  if (entry.asking || !Resolve) return;
  entry.asking = true;
  Resolve(name, alive_.Guard([this, name](const std::string& address) {
    const auto it = names_.find(name);
    if (it == names_.end()) return;  // no longer listed
    it->second.asking = false;
    it->second.address = address;
  }));
}

void TAddressChecks::Refresh(std::initializer_list<const TEntries*> lists) {
  std::vector<std::string> names;
  std::unordered_set<std::string> listed;
  for (const TEntries* list : lists) {
    for (const std::string& entry : *list) {
      const std::string name = TrimControls(entry);
      if (IsHostName(name) && listed.insert(name).second) names.push_back(name);
    }
  }
  std::erase_if(names_, [&](const auto& named) { return listed.count(named.first) == 0; });
  for (const std::string& name : names) {
    names_[name].asking = false;  // a lookup still on its way is overtaken
    Ask(name);
  }
}

std::string TAddressChecks::ResolveAddress(const std::string& name) const {
  if (name.empty() || name.size() > kMaxNameLength) {
    throw ESocketException(TSocketStep::kHostName, WSAEINVAL, name);
  }
  if (WSocketIsDottedQuad(name)) return ConvertLocalIp(name);
  if (const auto v6 = Ipv6Text(name)) return ConvertLocalIp(*v6);
  const std::string host = TrimControls(name);
  if (!IsHostName(host)) return name;
  if (names_.find(host) == names_.end()) Ask(host);  // for the next time; a quick answer serves now
  const auto it = names_.find(host);
  return it == names_.end() || it->second.address.empty() ? name : ConvertLocalIp(it->second.address);
}

bool TAddressChecks::InMaskList(const TEntries& list, const std::string& address) const {
  const auto tested = TryResolve(*this, address);
  if (!tested) return false;
  bool found = false;
  for (const std::string& entry : list) {
    const auto mask = TryResolve(*this, entry);
    if (mask && MatchMask(*mask, *tested)) found = true;
  }
  return found;
}

bool TAddressChecks::InServerList(const TEntries& list, const std::string& address) const {
  bool found = false;
  for (const std::string& entry : list) {
    std::optional<std::string> resolved;
    if (WSocketIsDottedQuad(entry)) {
      resolved = entry;
    } else if (const auto v6 = Ipv6Text(entry)) {
      resolved = v6;  // as written, in the form the lookups give
    } else {
      resolved = TryResolve(*this, entry);
    }
    if (resolved && *resolved == address) found = true;
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
  // IPv4 first, then IPv6.
  const std::vector<TIpAddress> addresses = os::InterfaceAddresses();
  for (const TIpAddress& addr : addresses) {
    if (addr.IsV4()) available.push_back(addr.Text());
  }
  for (const TIpAddress& addr : addresses) {
    if (addr.IsV6()) available.push_back(addr.Text());
  }
  return available;
}

}  // namespace kelvox
