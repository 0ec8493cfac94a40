#include "app/application.h"

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
                                   .OnClosed = [this] { core_.Loop().Quit(); },
                                   .OnReloaded = [this] { console_.Print("settings reloaded"); }})
                  .Bouncer(),
              console_),
      commands_(core_.Bouncer(), console_, dialog_, core_.Rules(), core_.Update(), core_.Figures()),
      input_(core_.Loop(), input_fd),
      start_(options.Start) {
  commands_.ShellOpen = core_.Rules().ShellOpen;
  input_.OnLine = [this](const std::string& line) { OnInput(line); };
  input_.OnEnd = [this] { console_.InputEnded(); };
}

int TApplication::Run() {
  const bool port_changed = core_.Start();
  TBouncer& bouncer = core_.Bouncer();
  bouncer.FormShow();
  if (start_ && !core_.Stopping()) bouncer.Button1Click();
  PrintStartNotes(port_changed);
  input_.Start();
  if (!core_.Stopping()) core_.Loop().Run();
  core_.Finish();
  return 0;
}

void TApplication::OnInput(const std::string& line) {
  if (console_.TakeAnswer(line)) return;
  if (core_.Stopping()) {
    console_.ShowError("shutting down");
    return;
  }
  commands_.Execute(line);
}

void TApplication::PrintStartNotes(bool port_changed) {
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
  note("type help for the commands");
}

}  // namespace kelvox
