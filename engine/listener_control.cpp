// Program start, the listener's Start and Stop, and the close request.
#include "base/decimal.h"
#include "config/settings.h"
#include "engine/bouncer.h"
#include "engine/console.h"
#include "net/wsocket_errors.h"

namespace kelvox {

namespace {

// What the status bar says when listening failed: the port in use as it always
// did, any other cause by its description ("Port 80: Permission denied"). A
// port below 1024 refused to a user without root also names the way out: a
// port of the user's own range (5050, as settings made on first start get).
std::string ListenFailureText(const std::string& port, const std::exception& failure) {
  const auto* socket_error = dynamic_cast<const ESocketException*>(&failure);
  const int code = socket_error != nullptr ? socket_error->Code() : 0;
  if (code == WSAEADDRINUSE) return "Port " + port + " already used.";
  const std::string cause = socket_error != nullptr ? socket_error->Cause() : failure.what();
  const int number = ParseDecimal(port, 5);
  if (code == WSAEACCES && number >= 0 && number < 1024) {
    return "Port " + port + ": " + cause + ". Ports below 1024 need root: config set Port 5050, config ok, then start";
  }
  return "Port " + port + ": " + cause;
}

}  // namespace

void TBouncer::FormShow() {
  if (!FirstShow) return;
  RunningSince = Now();
  FirstShow = false;
  SettingsReloaded();
  refresh_timer_.SetEnabled(true);
  const char* headers[] = {"Identification", "Status", "Irc server", "Time", "Tag"};
  for (int column = 0; column < 5; ++column) console_.SetCell(column, 0, headers[column]);
  if (settings_.AutoStart) Button1Click();
  if (settings_.Minimise) timer3_.SetEnabled(true);
}

void TBouncer::Timer3Timer(TTimer*) {
  timer3_.SetEnabled(false);
  console_.HideMainWindow();
}

void TBouncer::Button1Click() {
  if (transport_.Listener().Listening()) return;
  console_.SetTrayHint("Kelvox - ONLINE (0 users)");
  console_.EnableStartStop(false, true);
  console_.SetStatusText(1, "ONLINE");
  console_.SetRowCount(2);
  ListeningSince = Now();
  const std::string port = settings_.Port;
  try {
    console_.SetStatusText(0, "Listen on port: " + port);
    transport_.Listener().Address = settings_.ListenAddress;
    transport_.Listener().Listen(port);
  } catch (const std::exception& e) {
    Button3Click();
    console_.SetStatusText(0, ListenFailureText(port, e));
    return;
  }
  if (!settings_.SslPort.empty()) StartTls();
}

void TBouncer::StartTls() {
  const std::string port = settings_.SslPort;
  std::string error;
  const auto context = TTlsServerContext::Load(settings_.SettingsFile(settings_.SslCertificate),
                                               settings_.SettingsFile(settings_.SslKey), error);
  if (!context) {
    console_.SetStatusText(0, "Listen on port: " + settings_.Port + ", TLS port " + port + ": " + error);
    return;
  }
  try {
    transport_.TlsListener().SetTls(context);
    transport_.TlsListener().Address = settings_.ListenAddress;
    transport_.TlsListener().Listen(port);
    console_.SetStatusText(0, "Listen on port: " + settings_.Port + ", TLS port: " + port);
  } catch (const std::exception& e) {
    console_.SetStatusText(0, "Listen on port: " + settings_.Port + ", TLS " + ListenFailureText(port, e));
  }
}

void TBouncer::Button3Click() {
  console_.SetTrayHint("Kelvox - OFFLINE");
  console_.SetStatusText(0, "Listen on port: " + settings_.Port);
  console_.EnableStartStop(true, false);
  console_.SetStatusText(1, "OFFLINE");
  transport_.Listener().Close();
  transport_.TlsListener().Close();
  // The table stays whole meanwhile: the departures come later, one event
  // each, and close the gaps then.
  sessions_.CloseAll();
}

bool TBouncer::Quitter1Click() {
  if (sessions_.Count() > 0 && !ExitWithoutConfirm &&
      !console_.AskOkCancel("Are you sure you want to exit Kelvox ? Some users are connected.", "Confirm")) {
    return false;
  }
  Button3Click();
  if (OnClose) OnClose();
  return true;
}

}  // namespace kelvox
