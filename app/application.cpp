#include "app/application.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "app/settings_folder.h"
#include "config/settings.h"
#include "config/settings_keys.h"
#include "console/metrics_server.h"
#include "console/settings_rules.h"
#include "engine/bouncer.h"
#include "engine/socket_transport.h"

namespace kelvox {

namespace {

// The INI key of a text setting.
std::string KeyName(std::string TSettings::*field) {
  for (const TSettingKey& key : kSettingKeys) {
    const auto* held = std::get_if<std::string TSettings::*>(&key.Field);
    if (held != nullptr && *held == field) return key.Name;
  }
  return {};
}

}  // namespace

TApplication::TApplication(const TOptions& options, int input_fd, std::ostream& out)
    : core_(options.ConfigDir),
      console_(core_.Loop(), out),
      // The core's engine is made over the console here, before the dialog
      // that acts on its bouncer.
      dialog_(core_
                  .Open(console_, {.LogfileCure = kConsoleLogfileCure,
                                   .OnClosed =
                                       [this] {
                                         core_.Loop().Quit();
                                         control_.Close();
                                       },
                                   .OnReloaded = [this] { console_.Print("settings reloaded"); }})
                  .Bouncer(),
              console_),
      commands_(core_.Bouncer(), console_, dialog_, core_.Rules(), core_.Update(), core_.Figures()),
      input_(core_.Loop(), input_fd),
      control_(core_.Loop(), console_),
      start_(options.Start) {
  commands_.ShellOpen = core_.Rules().ShellOpen;
  commands_.DetachConsole = [this] {
    if (TConsoleSink* typing = console_.Typing()) control_.Detach(*typing);
  };
  input_.OnLine = [this](const std::string& line) { Typed(console_.Own(), line); };
  input_.OnEnd = [this] { Typed(console_.Own(), std::nullopt); };
  control_.OnLine = [this](TConsoleSink& from, const std::string& line) { Typed(from, line); };
  control_.OnEnd = [this](TConsoleSink& from) { Typed(from, std::nullopt); };
}

int TApplication::Run() {
  const bool port_changed = core_.Start();
  TBouncer& bouncer = core_.Bouncer();
  bouncer.FormShow();
  if (start_ && !core_.Stopping()) bouncer.Button1Click();
  const std::string control_note = core_.Stopping() ? std::string() : OpenControl();
  PrintStartNotes(port_changed, control_note);
  input_.Start();
  if (!core_.Stopping()) core_.Loop().Run();
  core_.Finish();
  return 0;
}

std::string TApplication::OpenControl() {
  const std::string path = core_.Settings().FilePath(TControlSocket::kFileName);
  const int error = control_.Listen(path);
  if (error == 0) return {};
  if (error == EADDRINUSE) return "no console can attach: another Kelvox serves " + path;
  return "no console can attach: cannot listen at " + path + ": " + std::strerror(error);
}

void TApplication::Typed(TConsoleSink& from, std::optional<std::string> line) {
  const std::size_t waiting = static_cast<std::size_t>(std::count_if(
      typed_.begin(), typed_.end(), [&](const TTyped& typed) { return typed.From == &from && !typed.Watch.Gone(); }));
  if (waiting >= kHeldLimit && &from != &console_.Own()) return control_.Detach(from);
  typed_.push_back({&from, from.Watch(), std::move(line)});
  RunNext();
}

void TApplication::RunNext() {
  std::erase_if(typed_, [](const TTyped& typed) { return typed.Watch.Gone(); });
  const TConsoleSink* asked = console_.Asked();
  const auto next = std::find_if(typed_.begin(), typed_.end(),
                                 [&](const TTyped& typed) { return asked == nullptr || typed.From == asked; });
  if (next == typed_.end()) return;
  const TTyped typed = std::move(*next);
  typed_.erase(next);
  // A question asked under this line waits, its loop running, for the next.
  if (!typed_.empty()) core_.Loop().Post([this] { RunNext(); });
  Run(*typed.From, typed.Line);
  if (!typed_.empty()) core_.Loop().Post([this] { RunNext(); });
}

void TApplication::Run(TConsoleSink& from, const std::optional<std::string>& line) {
  if (!line) {
    if (&from == &console_.Own()) return console_.InputEnded();
    return control_.Detach(from);
  }
  if (console_.TakeAnswer(*line, from)) return;
  const TTextConsole::TTyping typing(console_, from);
  if (core_.Stopping()) return console_.ShowError("shutting down");
  commands_.Execute(*line);
}

void TApplication::PrintStartNotes(bool port_changed, const std::string& control_note) {
  const auto note = [this](const std::string& text) { console_.Print("note: " + text); };
  const TSettings& settings = core_.Settings();
  TSocketTransport& transport = core_.Transport();
  note("settings in " + settings.FilePath("Config.ini"));
  if (port_changed) note("ports below 1024 need root; the new settings listen on port " + settings.Port);
  if (core_.Bouncer().Listening()) {
    const std::string port = std::to_string(transport.Listener().BoundPort());
    const std::string& address = settings.ListenAddress;
    if (address.empty()) {
      note("listening on port " + port + " (all interfaces)");
      note("IRC clients connect to this machine on port " + port + " (127.0.0.1:" + port +
           " from here), then /quote CONN irc.example.net:6667");
    } else {
      const bool v6 = address.find(':') != std::string::npos;
      note("listening on port " + port + " (" + address + " only)");
      note("IRC clients connect to " + (v6 ? "[" + address + "]" : address) + ":" + port +
           ", then /quote CONN irc.example.net:6667");
    }
    if (core_.Bouncer().ListeningTls()) {
      note("listening with TLS on port " + std::to_string(transport.TlsListener().BoundPort()) +
           " (certificate " + settings.SettingsFile(settings.SslCertificate) + ")");
    }
  } else if (settings.Port.empty()) {
    note("not listening; no port is set: config set " + KeyName(&TSettings::Port) + " " + kUserPort +
         ", config ok, then start");
  } else {
    note("not listening; type start to open port " + settings.Port);
  }
  if (const int metrics = core_.Metrics().BoundPort(); metrics != 0) {
    note("metrics at http://" + std::string(TMetricsServer::kAddress) + ":" + std::to_string(metrics) + "/metrics");
  }
  const std::string admin_key = KeyName(&TSettings::AdminPassword);
  const std::string factory = TSettings("").AdminPassword;
  if (settings.AdminPassword == factory) {
    // The settings dialog names each password's second entry after its key.
    note("the administrator password is the factory one (" + factory + "): change it with config set " + admin_key +
         " NEW, config set " + admin_key + " confirmation NEW, config ok (NEW: at most " +
         std::to_string(kAdminPasswordLength) + " characters)");
  }
  if (!control_note.empty()) note(control_note);
  note("type help for the commands");
}

}  // namespace kelvox
