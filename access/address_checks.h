// The bouncer's address checks: its own resolver with the loopback conversion,
// and the tests of an address against the ban, access, destination and
// selectable-address lists, which the caller hands in. Every lookup blocks the
// event thread; nothing is cached, so a host-name entry follows its name's
// address from one check to the next.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace kelvox {

using TEntries = std::vector<std::string>;

class TAddressChecks {
 public:
  TAddressChecks();

  /// The machine's own name, looked up by GetLocalIp. The host name of the
  /// system by default; tests give the machine another name.
  std::function<std::string()> MachineName;

  /// The machine's own address, dotted: the first address of a lookup of its own
  /// name, afresh at each call; empty when the lookup fails.
  std::string GetLocalIp() const;

  /// GetLocalIp() for exactly "127.0.0.1", any other text unchanged, so that a
  /// user on this machine is seen under the address it has from outside.
  std::string ConvertLocalIp(const std::string& address) const;

  /// The dotted address of a host name or address, converted by ConvertLocalIp:
  /// a dotted text as it is, otherwise the first IPv4 address of a lookup of the
  /// name without its surrounding blanks and control characters. A name that
  /// does not resolve (a mask, an unknown host) comes back unchanged. Raises
  /// ESocketException "WSocketResolveHost: '<name>' Invalid Hostname." for an
  /// empty name or one longer than 256 characters.
  std::string ResolveAddress(const std::string& name) const;

  /// Whether some entry of a ban or access list, resolved, matches the resolved
  /// address as a mask.
  bool InMaskList(const TEntries& list, const std::string& address) const;
  /// Whether some destination-list entry equals the resolved host exactly: a
  /// dotted entry as written (not converted), any other entry resolved. No masks.
  bool InServerList(const TEntries& list, const std::string& host) const;
  /// Whether some selectable-address entry matches the address as a mask, both
  /// without surrounding blanks and control characters; nothing is looked up.
  bool InIpList(const TEntries& list, const std::string& address) const;

  // In the four checks, a text that ResolveAddress refuses (an empty line of a
  // list file, an overlong entry) takes no part in the comparison, and a tested
  // text that it refuses matches nothing: the checks never raise.
};

/// The machine's own IPv4 addresses, dotted, in the order the system reports its
/// interfaces: what the operator may copy into the selectable-address list.
/// Empty when the system does not tell.
std::vector<std::string> LoadIp();

}  // namespace kelvox
