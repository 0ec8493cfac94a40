#include "app/application.h"

#include <signal.h>

#include "app/settings_folder.h"
#include "config/program_file.h"
#include "config/settings_keys.h"
#include "console/shell_open.h"
#include "net/graceful_close.h"

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

void FinishDepartures(TEventLoop& loop, const TBouncer& bouncer, const bool& hurry) {
  loop.RunUntil([&] { return hurry || (bouncer.UserCount() == 0 && loop.Closer().Count() == 0); }, kShutdownLimit);
}

TApplication::TApplication(const TOptions& options, int input_fd, std::ostream& out)
    : signals_(loop_, [this](int signo) { OnSignal(signo); }),
      console_(loop_, out),
      settings_(options.ConfigDir),
      startup_(ProgramFilePath(), AutostartFolder(), console_),
      transport_(loop_),
      bouncer_(loop_, settings_, console_, transport_),
      dialog_(bouncer_, console_),
      config_(settings_, console_),
      update_(loop_, console_, UpdateUrl()),
      commands_(bouncer_, console_, dialog_, config_, update_),
      input_(loop_, input_fd),
      start_(options.Start) {
  startup_.Attach(settings_);
  config_.ShellOpen = [](const std::string& target) { ShellOpen(target); };
  config_.LogfileCure = kConsoleLogfileCure;
  config_.OnListsChanged = [this] { bouncer_.SettingsReloaded(); };
  commands_.ShellOpen = config_.ShellOpen;
  bouncer_.OnClose = [this] {
    stopping_ = true;
    loop_.Quit();
  };
  input_.OnLine = [this](const std::string& line) { OnInput(line); };
  input_.OnEnd = [this] { console_.InputEnded(); };
}

int TApplication::Run() {
  // The settings are read (when there are any), shown and always written back,
  // so a first start leaves a complete set of files behind. Made afresh, they
  // get a port that this process can listen on.
  const bool port_changed = ChooseFirstStartPort(settings_);
  config_.FormCreate();
  bouncer_.FormShow();
  if (start_ && !stopping_) bouncer_.Button1Click();
  PrintStartNotes(port_changed);
  input_.Start();
  if (!stopping_) loop_.Run();
  // The users have been told and closed; their departures and last bytes are
  // on their way. The loop runs on for them, bounded, and a second stop
  // signal ends the wait.
  FinishDepartures(loop_, bouncer_, hurry_);
  return 0;
}

void TApplication::OnSignal(int signo) {
  if (signo == SIGHUP) {
    if (!stopping_) Reload();
  } else if (stopping_) {
    hurry_ = true;
  } else {
    bouncer_.ExitWithoutConfirm = true;
    bouncer_.Quitter1Click();
  }
}

void TApplication::OnInput(const std::string& line) {
  if (console_.TakeAnswer(line)) return;
  if (stopping_) {
    console_.ShowError("shutting down");
    return;
  }
  commands_.Execute(line);
}

void ReloadSettings(TConfigurationDialog& config, const TSettings& settings, const TBouncer& bouncer,
                    TConsole& console) {
  const std::string port = settings.Port;
  config.Reload();
  if (settings.Port != port && bouncer.Listening()) console.SetStatusText(0, "New listen port, restart the bouncer.");
}

void TApplication::Reload() {
  ReloadSettings(config_, settings_, bouncer_, console_);
  console_.Print("settings reloaded");
}

void TApplication::PrintStartNotes(bool port_changed) {
  const auto note = [this](const std::string& text) { console_.Print("note: " + text); };
  note("settings in " + settings_.FilePath("Config.ini"));
  if (port_changed) note("ports below 1024 need root; the new settings listen on port " + settings_.Port);
  if (bouncer_.Listening()) {
    const std::string port = std::to_string(transport_.Listener().BoundPort());
    const std::string& address = settings_.ListenAddress;
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
    if (bouncer_.ListeningTls()) {
      note("listening with TLS on port " + std::to_string(transport_.TlsListener().BoundPort()) +
           " (certificate " + settings_.SettingsFile(settings_.SslCertificate) + ")");
    }
  } else if (settings_.Port.empty()) {
    note("not listening; no port is set: config set " + KeyName(&TSettings::Port) + " " + kUserPort +
         ", config ok, then start");
  } else {
    note("not listening; type start to open port " + settings_.Port);
  }
  const std::string admin_key = KeyName(&TSettings::AdminPassword);
  const std::string factory = TSettings("").AdminPassword;
  if (settings_.AdminPassword == factory) {
    // The settings dialog names each password's second entry after its key.
    note("the administrator password is the factory one (" + factory + "): change it with config set " + admin_key +
         " NEW, config set " + admin_key + " confirmation NEW, config ok (NEW: at most " +
         std::to_string(TConfigurationDialog::kAdminPasswordLength) + " characters)");
  }
  note("type help for the commands");
}

}  // namespace kelvox
