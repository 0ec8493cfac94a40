// What the service manager hears of the program: systemd starts a Type=notify
// unit with NOTIFY_SOCKET naming a datagram socket, and waits for READY=1
// before it counts the service as started; STATUS= is the line that
// `systemctl status` shows. Started by hand, without NOTIFY_SOCKET, the
// program sends nothing and posts nothing.
#pragma once

#include <functional>
#include <string>

#include "net/alive.h"
#include "net/event_loop.h"

namespace kelvox {

/// The program's state as the STATUS line tells it.
struct TServiceState {
  bool Listening = false;
  int Port = 0;           // the plain listener's bound port, while listening
  int TlsPort = 0;        // the TLS listener's bound port; 0 when it does not listen
  std::string TlsWanted = {};  // the SSL Port setting: a TLS port that should listen
  int Users = 0;
  std::string StatusBar = {};  // the status bar's panel 0: the listener's last word
};

/// "Listening on port 50, 3 users", "Listening on port 50 and TLS port 6697,
/// 1 user", "Listening on port 50 (TLS port 6697 failed), 0 users", "Not
/// listening", "Not listening: Port 50 already used.".
std::string ServiceStatusText(const TServiceState& state);

class TServiceNotify {
 public:
  /// `state` reads the program's state when a STATUS line is due.
  TServiceNotify(TEventLoop& loop, std::function<TServiceState()> state);
  TServiceNotify(const TServiceNotify&) = delete;
  TServiceNotify& operator=(const TServiceNotify&) = delete;

  /// NOTIFY_SOCKET is set: a service manager listens.
  bool Enabled() const { return enabled_; }

  /// READY=1 with the STATUS line: the listeners are open (or failed, which
  /// the STATUS line says), the first time and again after a reload.
  void Ready();
  /// The users or the listener may have changed: the STATUS line goes after
  /// the current task, once however many changes it made, and only when its
  /// text differs from the last one sent. Nothing before the first Ready.
  void Changed();
  /// RELOADING=1 with the moment (MONOTONIC_USEC=); Ready follows the reload.
  void Reloading();
  /// STOPPING=1; nothing is sent after it.
  void Stopping();

 private:
  void Send(const std::string& message);
  void SendStatus();

  TEventLoop& loop_;
  std::function<TServiceState()> state_;
  const bool enabled_;
  bool ready_ = false;     // the first READY=1 has gone
  bool stopping_ = false;  // STOPPING=1 has gone
  bool queued_ = false;    // a STATUS task waits in the loop
  std::string status_;     // the last STATUS text sent
  TAlive alive_;
};

}  // namespace kelvox
