// A user's link to an IRC server: CONN sets it up (the destination rule, the
// server's address, the connection from the user's chosen address), and the
// link's four handlers relay: the held lines go out when it connects, the
// server's PINGs are answered, CTCP requests pass the flood guard, and the end
// of the link ends the user.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>
#include <string_view>

#include "engine/link_negotiation.h"
#include "engine/transport.h"
#include "net/alive.h"
#include "net/event_loop.h"

namespace kelvox {

class TAddressChecks;
class TEventLog;
class TSessionTable;
class TSettings;
struct TMySocket;

/// What CONN names: "host[:port]", "[IPv6 address][:port]", "host:+port" for
/// TLS, and after a TLS target "fp=" and the SHA-256 fingerprint of a
/// certificate to accept.
struct TConnTarget {
  std::string Host;
  std::string Port = "6667";  // as given, without its "+"
  bool Tls = false;
  std::string Fingerprint;
  /// "sasl=plain-insecure": SASL PLAIN may go over a link without TLS.
  bool PlainInsecure = false;
  /// "linger=KEY": the key of the lingering session to open or attach to, as
  /// given (trimmed of controls), unchecked; empty when none. A secret: Text()
  /// never holds it.
  std::string LingerKey;
  /// The server as the grid shows it: "host:port", "host:+port".
  std::string Text() const;
};
/// CONN's argument read; texts trimmed of blanks and controls. "sasl=" and
/// "linger=" may follow the server, before or after "fp=".
TConnTarget ParseConnTarget(const std::string& argument);

class TServerLinks {
 public:
  /// How long a server may take, each time told to the user, whose link then ends.
  struct TLimits {
    /// To answer the connect.
    std::chrono::milliseconds Connect = std::chrono::seconds(30);
    /// To stay silent before the bouncer sends it a PING of its own...
    std::chrono::milliseconds Silence = std::chrono::minutes(5);
    /// ...and then to answer it.
    std::chrono::milliseconds Answer = std::chrono::seconds(60);
  };
  /// The PING the bouncer sends a silent server carries this; the answer is the
  /// bouncer's, not the user's.
  static constexpr std::string_view kAliveToken = "kelvox-alive";

  TServerLinks(TEventLoop& loop, TTransport& transport, TSessionTable& sessions, const TSettings& settings,
               const TAddressChecks& checks, TEventLog& log);

  TLimits Limits;
  /// How often the limits are looked at, while any link is open.
  std::chrono::milliseconds WatchInterval = std::chrono::seconds(1);

  /// CONN <server>[:[+]<port>] [fp=<SHA-256>] from the user in a slot.
  void Conn(int slot, const std::string& line);

  // The link's handlers; the link's Tag is the user's slot.
  /// The link has connected: the grid, the log, and the held lines in one send.
  void ChangeStateCommune(TConnection* Sender, TSocketState OldState, TSocketState NewState);
  /// The attempt has ended; a successful one is announced to the user.
  void ConnectCommune(TConnection* Sender, uint16_t Error);
  /// Lines from the IRC server: PINGs answered, CTCP requests guarded, the rest relayed.
  void ReadCommune(TConnection* Sender, uint16_t Error);
  /// The link has closed: the user is told and disconnected.
  void DeConnectCommune(TConnection* Sender, uint16_t Error);
  /// The end of a slot's CTCP window (the timer's Tag is the slot).
  void Timercommun(TTimer* Sender);

  /// A line a client of the lingering session in the slot sent the server: a
  /// message reaches the session's other clients, and the sender when it took
  /// echo-message.
  void Echoed(int slot, const TConnection* from, std::string_view line);

 private:
  /// The slot's link, closed, with the handlers bound.
  TConnection& PrepareLink(int slot);
  /// The destination rule for a server's address (or name, when it has none),
  /// the loopback address taken as the machine's own; nothing is told.
  bool DestinationPermits(const std::string& address) const;
  /// DestinationPermits, with a refusal told to the user with the list.
  bool DestinationAllowed(int slot, const std::string& address);
  /// The server's address has come (or not) for the user CONN was waiting for.
  void Resolved(uint64_t id, const TConnTarget& target, uint16_t port_number, const TResolution& answer);
  /// Starts the link's connect to one of the server's addresses; false when it
  /// failed at once (the user is told and disconnected).
  bool StartConnect(int slot, const TConnTarget& target, uint16_t port_number, const std::string& address);
  /// The server's next address after a failed connect, as a task; false when
  /// there is none left.
  bool TryNextAddress(int slot);
  /// Sends a server line to the user, with the tags it takes: only to a
  /// connected user whose link is open.
  void Relay(int slot, std::string_view line);
  /// The link has connected for a client that took capabilities: CAP LS and the
  /// held registration go; the rest of the held lines wait for CAP END.
  void OpenNegotiation(int slot, TConnection& link);
  /// A server line while negotiating: true when it was the negotiation's own.
  bool Negotiate(int slot, TConnection& link, std::string_view line);
  /// Sends what a step of the negotiation says, and ends it when it is done.
  void Apply(int slot, TConnection& link, TLinkNegotiation::TStep& step);
  /// The capabilities settled: CAP DEL to the client for what it lost, and the
  /// tags it takes from now on.
  void Settle(int slot);
  /// A CAP line from the server outside the negotiation: what the client has
  /// follows its answers. False when the client is not to see it.
  bool TrackCaps(int slot, std::string_view line);
  /// The CTCP flood guard's decision for one request from the server.
  void GuardCtcp(int slot, std::string_view line);
  /// CONN with linger=KEY: false when the link is not to be opened (refused,
  /// or the client attaches to the session under that key).
  bool OpenLinger(int slot, const TConnTarget& target);
  /// The client in one record attaches to the session in another.
  void Attach(uint64_t session_id, uint64_t client_id);
  /// What the link took, kept before an attaching client's capabilities replace
  /// the first client's.
  void KnowFacts(TMySocket& session);
  /// The tags a client attaching to the session takes.
  TTagPolicy AttachedTags(TMySocket& session, const TUserCaps* caps);
  /// A server line in a lingering session: followed, then held while no client
  /// is attached, else sent to every attached client.
  void RelayLingering(int slot, std::string_view line);
  /// A server line to one client, with the tags it takes.
  void SendShaped(TConnection& client, const TTagPolicy& tags, std::string_view line);
  /// A notice to the user in a slot.
  void Tell(int slot, std::string_view text);
  /// Ends the links past one of their limits, and asks silent servers.
  void Watch(TTimer* Sender);

  TEventLoop& loop_;
  TTransport& transport_;
  TSessionTable& sessions_;
  const TSettings& settings_;
  const TAddressChecks& checks_;
  TEventLog& log_;
  TTimer watch_timer_;  // runs while any link is open
  // A server with several addresses: what is left to try, by user id.
  struct TFallback {
    TConnTarget Target;
    uint16_t Port = 0;
    std::vector<std::string> Addresses;
  };
  std::unordered_map<uint64_t, TFallback> fallbacks_;
  std::string now_;  // server-time's text for the lines of one read, made once when needed
  std::string shaped_;  // a line whose tags the bouncer changed; its memory serves every line
  TAlive alive_;  // for lookups answered after the end
};

}  // namespace kelvox
