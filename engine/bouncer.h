// The bouncer: what a desktop program has as its main window. It puts the
// engine's three parts together (the session table, the line interpreter and
// the server links) over a transport, and keeps what the console and the
// program call: the first showing, Start, Stop and the close request, and the
// operator's actions on a user. Its handlers carry the main window's names
// (FormShow, Button1Click for Start, Button3Click for Stop, Quitter1Click ...).
#pragma once

#include <functional>
#include <string>

#include "access/address_checks.h"
#include "base/date_time.h"
#include "engine/event_log.h"
#include "engine/line_interpreter.h"
#include "engine/server_link.h"
#include "engine/session_table.h"
#include "engine/transport.h"
#include "net/event_loop.h"

namespace kelvox {

class TConsole;
class TSettings;

class TBouncer {
 public:
  static constexpr const char* kCaption = "Kelvox v2.6";
  static constexpr int kMinimiseDelayMs = 50;
  /// How often the host names of the address lists are looked up again.
  static constexpr int kListRefreshMs = 5 * 60 * 1000;

  /// The bouncer shows its state on `console` and reads each setting when it
  /// needs it; users come and links go through `transport`.
  TBouncer(TEventLoop& loop, TSettings& settings, TConsole& console, TTransport& transport);
  ~TBouncer();
  TBouncer(const TBouncer&) = delete;
  TBouncer& operator=(const TBouncer&) = delete;

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
  /// The TLS listener, after the plain one, when the SSL Port setting names a
  /// port; a certificate that cannot be used or a port that cannot be had is
  /// told on the status bar, and the plain listener stays.
  void StartTls();
  /// The settings were read again: the machine's own name and the lists' host
  /// names are looked up anew.
  void SettingsReloaded();

  // --- operator actions on the user with a tag (slot + 1) --------------------
  /// Closes the user's connection, first telling it "You were kicked by the
  /// administrator." when asked. Nothing for a tag without a connected user.
  void Kick(int tag, bool with_notice) { sessions_.Kick(tag, with_notice); }
  /// "   Administrator notice : " + text to the user.
  void AdminNotice(int tag, const std::string& text);
  /// Adds the user's address (the machine's own for a local user) to the ban
  /// list, kicks the user with the notice and saves the configuration.
  void Ban(int tag);

  /// The number of users listed (closing ones included until their departure).
  int UserCount() const { return sessions_.Count(); }
  bool Listening() const { return transport_.Listener().Listening(); }
  bool ListeningTls() const { return transport_.TlsListener().Listening(); }
  TAddressChecks& Checks() { return checks_; }
  TEventLog& EventLog() { return log_; }
  TSessionTable& Sessions() { return sessions_; }
  const TCounters& Counters() const { return sessions_.Counters; }
  TServerLinks& Links() { return links_; }

 private:
  TEventLoop& loop_;
  TSettings& settings_;
  TConsole& console_;
  TTransport& transport_;
  TAddressChecks checks_;
  TEventLog log_;
  TSessionTable sessions_;
  TServerLinks links_;
  TLineInterpreter interpreter_;
  TTimer timer3_;
  TTimer refresh_timer_;  // the lists' host names, looked up again
};

}  // namespace kelvox
