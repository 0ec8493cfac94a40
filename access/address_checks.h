// The bouncer's address checks: the loopback conversion, and the tests of an
// address against the ban, access, destination and selectable-address lists,
// which the caller hands in. No check looks anything up: host names (the
// machine's own, and the list entries) are looked up beforehand through
// Resolve, off the event thread, and the checks use their last answers.
#pragma once

#include <functional>
#include <initializer_list>
#include <string>
#include <unordered_map>
#include <vector>

#include "net/alive.h"

namespace kelvox {

using TEntries = std::vector<std::string>;

class TAddressChecks {
 public:
  /// An answer to a lookup: the dotted address, or empty when the name does not resolve.
  using TAnswer = std::function<void(const std::string& address)>;
  /// How a host name is looked up; `done` may run later. Unset, no name resolves.
  using TResolve = std::function<void(const std::string& name, TAnswer done)>;

  TAddressChecks();

  TResolve Resolve;
  /// The machine's own name. The host name of the system by default; tests give
  /// the machine another name.
  std::function<std::string()> MachineName;

  /// Looks the machine's own name up (at start, at a reload). Until the first
  /// answer the loopback address stands for itself.
  void RefreshLocalIp();
  /// The machine's own address, dotted, as last looked up; empty when that
  /// lookup failed.
  std::string GetLocalIp() const;
  /// GetLocalIp() for exactly "127.0.0.1" or "::1", any other text unchanged, so
  /// that a user on this machine is seen under the address it has from outside.
  std::string ConvertLocalIp(const std::string& address) const;

  /// Looks every host name of the lists up again, and forgets the names that
  /// are no longer listed. The last answers stay in force until the new ones come.
  void Refresh(std::initializer_list<const TEntries*> lists);

  /// The dotted address of a host name or address, converted by ConvertLocalIp:
  /// a dotted text as it is; an IPv6 literal in its compressed lower-case form; a name by the last answer to its lookup. A name
  /// that does not resolve (a mask, an unknown host) comes back unchanged, and
  /// so does a name not looked up yet, which is looked up for the next time.
  /// Raises ESocketException (kHostName: "WSocketResolveHost: '<name>' Invalid
  /// Hostname.") for an empty name or one longer than 256 characters.
  std::string ResolveAddress(const std::string& name) const;
  /// Whether some entry of a ban or access list, resolved, matches the resolved
  /// address as a mask.
  bool InMaskList(const TEntries& list, const std::string& address) const;
  /// Whether some destination-list entry equals `address`, a server's address
  /// as its lookup gave it (converted) or, when it did not resolve, its name:
  /// a dotted entry as written (not converted), an IPv6 entry compressed (not
  /// converted), any other entry resolved. No masks.
  bool InServerList(const TEntries& list, const std::string& address) const;
  /// Whether some selectable-address entry matches the address as a mask, both
  /// without surrounding blanks and control characters; nothing is looked up.
  bool InIpList(const TEntries& list, const std::string& address) const;

  // In the four checks, a text that ResolveAddress refuses (an empty line of a
  // list file, an overlong entry) takes no part in the comparison, and a tested
  // text that it refuses matches nothing: the checks never raise.

 private:
  struct TName {
    std::string address;  // the last answer; empty: none, or the name does not resolve
    bool asking = false;  // a lookup is on its way
  };
  /// Starts a lookup of a name unless one is on its way.
  void Ask(const std::string& name) const;

  mutable std::unordered_map<std::string, TName> names_;
  std::string local_ip_ = "127.0.0.1";
  TAlive alive_;  // for answers after the end
};

/// The machine's own addresses, in the order the system reports its interfaces:
/// the IPv4 ones dotted, then the IPv6 ones (not link-local) compressed; what
/// the operator may copy into the selectable-address list.
/// Empty when the system does not tell.
std::vector<std::string> LoadIp();

}  // namespace kelvox
