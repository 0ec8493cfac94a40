// The bouncer: the object that stands where a desktop program has its main
// window. It owns the listener, the slot table and the server links, and its
// handlers carry the main window's names (FormShow, Button1Click for Start,
// Button3Click for Stop, ServerClientConnect ...). It shows its state only
// through the console interface and reads each setting when it needs it.
#pragma once

#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "access/address_checks.h"
#include "base/date_time.h"
#include "config/settings.h"
#include "engine/console.h"
#include "engine/event_log.h"
#include "engine/session.h"
#include "net/event_loop.h"
#include "net/wsocket_server.h"

namespace kelvox {

class TBouncer {
 public:
  static constexpr const char* kCaption = "Kelvox v2.6";
  static constexpr int kMinimiseDelayMs = 50;

  TBouncer(TEventLoop& loop, TSettings& settings, TConsole& console);
  ~TBouncer();
  TBouncer(const TBouncer&) = delete;
  TBouncer& operator=(const TBouncer&) = delete;

  // The listener and the tables, indexed by slot.
  TWSocketServer Server;
  std::array<TMySocket, kSlotCount> Slots;
  std::array<std::unique_ptr<TWSocket>, kSlotCount> Links;

  TDateTime RunningSince = 0;    // the first showing
  TDateTime ListeningSince = 0;  // the last Start; zero before the first
  bool FirstShow = true;
  bool ExitWithoutConfirm = false;  // DIE and the stop signals close without asking

  /// The main window has closed: the program ends.
  std::function<void()> OnClose;

  /// How long a user's connections may stay held back with nothing leaving for
  /// either peer before the user is told and dropped. A slow reader makes
  /// progress and is never dropped; one that stopped reading is, after this.
  static constexpr std::chrono::minutes kStallLimit{5};
  std::chrono::milliseconds StallLimit = kStallLimit;

  // --- program start, listener control, shutdown ---------------------------
  /// The first showing: start time, grid headers, AutoStart, Minimise.
  void FormShow();
  /// Start: listens on the Port setting; does nothing unless the listener is closed.
  void Button1Click();
  /// Stop: every user is told "Disconnection - Bouncer is down." and closed,
  /// every server link closed. Departures follow, one event each.
  void Button3Click();
  /// The close request: asks when users are connected (unless ExitWithoutConfirm),
  /// then Stop and OnClose. Returns whether the program closes.
  bool Quitter1Click();
  /// The Minimise timer: hides the main window once.
  void Timer3Timer(TTimer* Sender);

  // --- sessions ------------------------------------------------------------
  /// Admission of a connection the listener has just listed.
  void ServerClientConnect(TWSocketServer* Sender, TWSocketClient* Client, uint16_t Error);
  /// Departure: log, console, the slot's link and timer, compaction.
  void ServerClientDisconnect(TWSocketServer* Sender, TWSocketClient* Client, uint16_t Error);
  /// Bytes from a user: cut into lines, each handled by the user's state.
  void ServerDataAvailable(TWSocket* Sender, uint16_t Error);

  // --- the server link of a slot (the link's Tag is the slot) ----------------
  /// The link has connected: the grid, the log, and the held lines in one send.
  void ChangeStateCommune(TWSocket* Sender, TSocketState OldState, TSocketState NewState);
  /// The attempt has ended; a successful one is announced to the user.
  void ConnectCommune(TWSocket* Sender, uint16_t Error);
  /// Lines from the IRC server: PINGs answered, CTCP requests guarded, the rest relayed.
  void ReadCommune(TWSocket* Sender, uint16_t Error);
  /// The link has closed: the user is told and disconnected.
  void DeConnectCommune(TWSocket* Sender, uint16_t Error);
  /// The end of a slot's CTCP window (the timer's Tag is the slot).
  void Timercommun(TTimer* Sender);

  // --- operator actions on the user with a tag (slot + 1) --------------------
  /// Closes the user's connection, first telling it "You were kicked by the
  /// administrator." when asked. Nothing for a tag without a connected user.
  void Kick(int tag, bool with_notice);
  /// "   Administrator notice : " + text to the user.
  void AdminNotice(int tag, const std::string& text);
  /// Adds the user's address (the machine's own for a local user) to the ban
  /// list, kicks the user with the notice and saves the configuration.
  void Ban(int tag);

  /// The connection in a slot, or nullptr.
  TTcpSrvClient* ClientOfSlot(int slot) const;
  /// The number of users listed (closing ones included until their departure).
  int UserCount() const { return Server.ClientCount(); }
  TAddressChecks& Checks() { return checks_; }
  TEventLog& EventLog() { return log_; }

 private:
  void Admit(TTcpSrvClient* client);
  void ResetSlotFlags(int slot);

  /// Closes the gap a leaving user leaves in the tables and the grid.
  void CompactAfterLeaving(int slot);
  void ShowUserCount(int count);

  // The user's lines.
  void HandleClientLine(TTcpSrvClient* client, std::string_view line);
  void LineTooLong(TTcpSrvClient* client);
  /// Holds a line for the IRC server, a USER line with the bouncer's real name.
  void HoldLine(TTcpSrvClient* client, std::string_view line);
  /// Appends to Pending; a user who passes kMaxPending is told and closed.
  void Hold(TTcpSrvClient* client, std::string_view line);
  void CheckPassword(TTcpSrvClient* client, const std::string& line);
  void TrackNick(TTcpSrvClient* client, std::string_view line);
  /// The bouncer's commands; false when the line is none of them.
  bool RunCommand(TTcpSrvClient* client, const std::string& line);
  // Each command takes the user and its whole line.
  struct TCommand;
  static const TCommand kCommands[];
  void Conn(TTcpSrvClient* client, const std::string& line);
  void Admin(TTcpSrvClient* client, const std::string& line);
  void Help(TTcpSrvClient* client, const std::string& line);
  void Die(TTcpSrvClient* client, const std::string& line);
  void Kill(TTcpSrvClient* client, const std::string& line);
  void TimeUp(TTcpSrvClient* client, const std::string& line);
  void IpList(TTcpSrvClient* client, const std::string& line);
  void Ip(TTcpSrvClient* client, const std::string& line);
  void Time(TTcpSrvClient* client, const std::string& line);
  void WhoisOn(TTcpSrvClient* client, const std::string& line);

  // The server link.
  TWSocket& PrepareLink(int slot);
  bool DestinationAllowed(TTcpSrvClient* client, const std::string& server);
  /// Sends a server line to the user: only to a connected user whose link is open.
  void Relay(int slot, std::string_view line);
  /// The CTCP flood guard's decision for one request from the server.
  void GuardCtcp(int slot, std::string_view line);

  // Back-pressure: a slot's two connections are read only while both keep up.
  /// Binds a connection of a slot (found from it by slot_of) to the slot's flow.
  void BindFlow(TWSocket& connection, int (*slot_of)(TWSocket*));
  /// One of the slot's connections is too far behind: stop reading both.
  void HoldSlot(int slot);
  /// Reading resumes once neither connection is behind any more.
  void ReleaseSlot(int slot);
  /// Drops the users of held slots whose output has not moved for StallLimit.
  void CheckStalls(TTimer* Sender);
  TMySocket& SlotOf(const TWSocket* link) { return Slots[static_cast<std::size_t>(link->Tag)]; }
  /// The Max setting as a number; -1 (no limit) when it holds none.
  int MaxUsers() const;

  TEventLoop& loop_;
  TSettings& settings_;
  TConsole& console_;
  TAddressChecks checks_;
  TEventLog log_;
  TTimer timer3_;
  TTimer stall_timer_;  // runs while a slot is held
};

}  // namespace kelvox
