#include "app/service_notify.h"

#include <systemd/sd-daemon.h>
#include <time.h>

#include <cstdlib>

namespace kelvox {

std::string ServiceStatusText(const TServiceState& state) {
  if (!state.Listening) {
    // After a Stop the status bar names the port as usual; anything else there
    // is why the last Start failed.
    const bool failed = !state.StatusBar.empty() && !state.StatusBar.starts_with("Listen on port: ");
    return failed ? "Not listening: " + state.StatusBar : "Not listening";
  }
  std::string text = "Listening on port " + std::to_string(state.Port);
  if (state.TlsPort != 0) {
    text += " and TLS port " + std::to_string(state.TlsPort);
  } else if (!state.TlsWanted.empty()) {
    text += " (TLS port " + state.TlsWanted + " failed)";
  }
  return text + ", " + std::to_string(state.Users) + (state.Users == 1 ? " user" : " users");
}

TServiceNotify::TServiceNotify(TEventLoop& loop, std::function<TServiceState()> state)
    : loop_(loop), state_(std::move(state)), enabled_(std::getenv("NOTIFY_SOCKET") != nullptr) {}

void TServiceNotify::Ready() {
  if (!enabled_ || stopping_) return;
  ready_ = true;
  status_ = ServiceStatusText(state_());
  Send("READY=1\nSTATUS=" + status_);
}

void TServiceNotify::Changed() {
  if (!enabled_ || !ready_ || stopping_ || queued_) return;
  queued_ = true;
  loop_.Post(alive_.Guard([this] {
    queued_ = false;
    SendStatus();
  }));
}

void TServiceNotify::Reloading() {
  if (!enabled_ || stopping_) return;
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const long long usec = static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
  Send("RELOADING=1\nMONOTONIC_USEC=" + std::to_string(usec));
}

void TServiceNotify::Stopping() {
  if (!enabled_ || stopping_) return;
  stopping_ = true;
  Send("STOPPING=1\nSTATUS=Stopping");
}

void TServiceNotify::SendStatus() {
  if (stopping_) return;
  std::string text = ServiceStatusText(state_());
  if (text == status_) return;
  status_ = std::move(text);
  Send("STATUS=" + status_);
}

void TServiceNotify::Send(const std::string& message) {
  // Best effort: a service manager that has gone away or cannot take the
  // datagram changes nothing for the users.
  sd_notify(0, message.c_str());
}

}  // namespace kelvox
