// What the bouncer knows about a connected user: the connection object in the
// listener's client list, and one slot record in the slot table. Both are found
// by the user's slot, the connection's index in the client list; the user's tag
// (grid row, WHOISON "#", KILL) is slot + 1.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "base/date_time.h"
#include "base/web_site.h"
#include "net/event_loop.h"
#include "net/wsocket_server.h"

namespace kelvox {

/// Slots in the table. The Max setting keeps the users at 99 or fewer; a
/// connection accepted beyond the table is closed at once, without a notice.
inline constexpr int kSlotCount = 102;

/// One user's connection, as the listener creates it for every accept.
class TTcpSrvClient : public TWSocketClient {
 public:
  using TWSocketClient::TWSocketClient;

  TDateTime ConnectTime = 0;  // when admission took the user (date and time)
  int Slot = -1;              // index in the client list; -1 until admission gives one
  int AdminFailures = 0;      // wrong ADMIN passwords on this connection

  /// Bytes received that do not end in LF yet (kept by the socket).
  std::string_view ClientRest() const { return UnreadText(); }
};

/// Wrong ADMIN passwords a connection may give; the last one closes it.
inline constexpr int kMaxAdminFailures = 3;
/// The CTCP window: requests counted per user for this long.
inline constexpr int kCtcpWindowMs = 15000;
/// The most a user may have held for the IRC server (before CONN, while the
/// link connects); more is refused like an over-long line.
inline constexpr std::size_t kMaxPending = 32 * 1024;

/// The slot record. Compaction moves records down whole, so a user keeps its
/// flags, held lines, chosen address, timer and link when its slot number drops.
struct TMySocket {
  bool CtcpProtect = false;           // the CTCP flood guard is on for this user
  std::unique_ptr<TTimer> CtcpTimer;  // the CTCP window (15 s), from the first CONN on
  int CtcpCount = 0;                  // CTCP requests in the current window
  std::string Pending;                // lines held for the IRC server, each with CR LF
  std::string LocalIp;                // source address chosen with IP; empty: any
  bool LinkOpen = false;              // a connection attempt started without error
  bool Relaying = false;              // every line belongs to the server link now
  bool Admin = false;                 // logged in with ADMIN
  bool Identified = false;            // gave the users' password, or issued CONN
  // The server's unfinished line stays in the link (UnreadText).
  bool Held = false;                  // neither connection is read: one is too far behind
  int64_t HeldMoved = 0;              // bytes both had sent when the hold last moved
  TEventLoop::Clock::time_point HeldMovedAt;  // when that was
};

/// The greeting banner's message text: the program, its author, its web host.
std::string GreetingBanner();

/// The line the bouncer sends a user to tell it something: the fixed prefix,
/// three (C) signs, then the message text, which carries its own CR LF.
std::string BouncerNotice(std::string_view text);

/// Sends a bouncer notice when the connection can be written to (state 4);
/// a connection that is closing gets nothing. Returns whether it was sent.
bool SendNotice(TWSocket* connection, std::string_view text);

}  // namespace kelvox
