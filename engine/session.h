// What the bouncer knows about a connected user: one slot record, holding the
// user's connection and server link, the facts the grid shows and the state of
// the user's lines. Records stand in slot order; the user's tag (grid row,
// WHOISON "#", KILL) is slot + 1.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "base/date_time.h"
#include "engine/channel_state.h"
#include "engine/link_negotiation.h"
#include "engine/linger_ring.h"
#include "engine/transport.h"
#include "net/event_loop.h"

namespace kelvox {

/// Slots in the table. The Max setting keeps the users at 99 or fewer; a
/// connection accepted beyond the table is closed at once, without a notice.
inline constexpr int kSlotCount = 102;
/// Wrong ADMIN passwords a connection may give; the last one closes it.
inline constexpr int kMaxAdminFailures = 3;
/// The CTCP window: requests counted per user for this long.
inline constexpr int kCtcpWindowMs = 15000;
/// Connections from one address that may wait at once without having
/// identified (with the password, or with CONN when none is asked for); one
/// more is refused, so that one address cannot fill the table.
inline constexpr int kMaxWaitingPerAddress = 10;
/// The most a user may have held for the IRC server (before CONN, while the
/// link connects); more is refused like an over-long line.
inline constexpr std::size_t kMaxPending = 32 * 1024;

/// What a lingering session says to the server as it ends, and as the bouncer
/// marks it away while no client is attached.
inline constexpr std::string_view kLingerQuit = "QUIT :Session closed by the bouncer";
inline constexpr std::string_view kLingerAway = "AWAY :Detached from the bouncer";

/// A client attached to a lingering session besides the record's own.
struct TAttached {
  std::unique_ptr<TConnection> Client;
  TTagPolicy Tags;  // the tags it took
};

/// What a session that outlives its client keeps, from CONN with linger=KEY on.
struct TLinger {
  TLinger(std::string key, std::string target, std::size_t lines)
      : Key(std::move(key)), Target(std::move(target)), Ring(lines) {}
  std::string Key;      // a secret: compared in constant time, never shown
  std::string Target;   // the server as CONN named it: a later CONN must name the same
  TLingerRing Ring;     // the server's lines while no client is attached
  TChannelState Channels;  // the session's nick and channels, for the burst of an attaching client
  std::vector<TAttached> Others;  // clients attached besides the record's own
  bool Detached = false;  // no client is attached: the record's own connection is closed
  TEventLoop::Clock::time_point DetachedAt;
  int MinutesLeft = -1;   // as the grid shows them
  int AwayReplies = 0;    // the server's answers to the bouncer's AWAY lines still to come
  bool Ending = false;    // the session ends with its link: the departure erases it
  std::uint64_t Seen = 0; // the ring's newest line when it was last given to a client
  std::vector<std::string> Support;  // the server's 005 lines, for an attaching client
  // What the link took, as the first client's capabilities said once settled.
  bool FactsKnown = false;
  std::set<std::string> Provided;  // what the bouncer gives itself on this link
  bool ServerEchoes = false;       // the server echoes the user's messages
};

/// The slot record. Compaction moves records down whole, so a user keeps its
/// connection, link, timer, flags and held lines when its slot number drops.
struct TMySocket {
  uint64_t Id = 0;                      // never reused: finds the user again after a wait
  std::unique_ptr<TConnection> Client;  // the user's connection
  std::unique_ptr<TConnection> Link;    // the server link, from the first CONN on

  // What the grid shows, and WHOISON and the event log read.
  std::string Nick;         // the user's nick once known: what its notices are sent to
  std::string Identity;     // "nick@address" once the user has named itself (column 0)
  std::string Status;       // "Identification...", "Waiting...", ... (column 1)
  std::string Server;       // the server as given to CONN, ":" and the port (column 2)
  TDateTime ConnectTime = 0;  // when admission took the user (column 3 shows its time)
  TEventLoop::Clock::time_point AdmittedAt;  // the same, for the limits

  // The user's lines.
  bool Identified = false;   // gave the users' password, or issued CONN
  bool Admin = false;        // logged in with ADMIN
  int AdminFailures = 0;     // wrong ADMIN passwords so far
  std::string Pending;       // lines held for the IRC server, each with CR LF
  std::string LocalIp;       // source address chosen with IP; empty: any
  bool GaveUser = false;     // a USER line is held: with a nick, the client has registered
  bool Negotiating = false;  // the client asked for capabilities and has not ended with CAP END
  bool Welcomed = false;     // the bouncer's own welcome (001) has been sent
  std::unique_ptr<TUserCaps> Caps;  // from the client's first CAP or AUTHENTICATE line on

  // The server link.
  bool Relaying = false;     // every line belongs to the server link now
  bool Resolving = false;    // CONN waits for the server's address
  bool LinkOpen = false;     // a connection attempt started without error
  bool CtcpProtect = false;  // the CTCP flood guard is on for this user
  std::unique_ptr<TTimer> CtcpTimer;  // the CTCP window (15 s), from the first CONN on
  int CtcpCount = 0;         // CTCP requests in the current window
  TEventLoop::Clock::time_point LinkStartedAt;  // the connect began
  TEventLoop::Clock::time_point LinkHeardAt;    // the server's last bytes (or its connect)
  bool PingSent = false;     // the bouncer asked a silent server whether it is still there
  /// The capabilities and the login asked of the server, until the server's
  /// welcome; the user's lines but its registration wait meanwhile.
  std::unique_ptr<TLinkNegotiation> Registration;
  TTagPolicy Tags;           // which of the server's tags reach the client

  // Back-pressure.
  bool Held = false;         // neither connection is read: one is too far behind
  int64_t HeldMoved = 0;     // bytes both had sent when the hold last moved
  TEventLoop::Clock::time_point HeldMovedAt;  // when that was

  bool Departing = false;    // the user's departure is on its way

  /// Set by CONN with linger=KEY: the session outlives its client.
  std::unique_ptr<TLinger> Linger;
};

/// The greeting banner's message text: the program, its author, its web host.
std::string GreetingBanner();

/// The line the bouncer sends a user to tell it something: a NOTICE from
/// "Kelvox" to the user's nick, three (C) signs, then the message text, which
/// carries its own CR LF. The target is "*" when the nick cannot stand as a
/// middle parameter: before one is known, and for one that begins with ':'
/// or holds a blank.
std::string BouncerNotice(std::string_view nick, std::string_view text);


}  // namespace kelvox
