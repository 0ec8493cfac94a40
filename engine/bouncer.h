// The bouncer: the object that stands where a desktop program has its main
// window. It owns the listener, the slot table and the server links, and its
// handlers carry the main window's names (FormShow, Button1Click for Start,
// Button3Click for Stop, ServerClientConnect ...). It shows its state only
// through the console interface and reads each setting when it needs it.
#pragma once

#include <array>
#include <functional>
#include <memory>
#include <string>

#include "access/address_checks.h"
#include "config/settings.h"
#include "console/console.h"
#include "console/date_time.h"
#include "console/event_log.h"
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
  /// Bytes from a user.
  void ServerDataAvailable(TWSocket* Sender, uint16_t Error);

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
  /// The Max setting as a number; -1 (no limit) when it holds none.
  int MaxUsers() const;

  TEventLoop& loop_;
  TSettings& settings_;
  TConsole& console_;
  TAddressChecks checks_;
  TEventLog log_;
  TTimer timer3_;
};

}  // namespace kelvox
