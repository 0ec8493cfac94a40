#include "app/core.h"

#include <signal.h>

#include <cassert>

#include "app/service_console.h"
#include "app/service_notify.h"
#include "app/settings_folder.h"
#include "config/program_file.h"
#include "config/settings.h"
#include "console/figures.h"
#include "console/metrics_server.h"
#include "console/settings_rules.h"
#include "console/shell_open.h"
#include "console/startup_entry.h"
#include "console/update_check.h"
#include "engine/bouncer.h"
#include "engine/console.h"
#include "engine/socket_transport.h"
#include "net/graceful_close.h"
#include "net/wsocket_errors.h"

namespace kelvox {

struct TCore::TParts {
  TParts(TEventLoop& loop, const std::string& folder, TConsole& console)
      : Console(console),
        Settings(folder),
        Startup(ProgramFilePath(), AutostartFolder(), Console),
        Notify(loop, [this] { return ServiceState(); }),
        Transport(loop),
        Bouncer(loop, Settings, Console, Transport),
        Rules(Settings, Console),
        Figures(Bouncer, Settings),
        Metrics(loop, [this] { return Exposition(Figures.Take()); }) {
    Console.OnChange = [this] { Notify.Changed(); };
  }

  TServiceState ServiceState() {
    return {.Listening = Bouncer.Listening(),
            .Port = Transport.Listener().BoundPort(),
            .TlsPort = Bouncer.ListeningTls() ? Transport.TlsListener().BoundPort() : 0,
            .TlsWanted = Settings.SslPort,
            .Users = Bouncer.UserCount(),
            .StatusBar = Console.StatusText()};
  }

  TServiceConsole Console;  // the front end's, watched for the service manager
  TSettings Settings;
  TStartupEntry Startup;  // the WindowsStart setting's entry
  TServiceNotify Notify;  // before the bouncer, whose end may still change the console
  TSocketTransport Transport;
  TBouncer Bouncer;
  TConfigurationDialog Rules;
  TFigures Figures;
  TMetricsServer Metrics;
  std::unique_ptr<TUpdateCheck> Update;
};

TCore::TCore(std::string folder)
    : folder_(std::move(folder)), signals_(loop_, [this](int signo) { OnSignal(signo); }) {
  // A peer that resets must never end the process through SIGPIPE.
  signal(SIGPIPE, SIG_IGN);
}

TCore::~TCore() = default;

TCore& TCore::Open(TConsole& console, TFrontEnd front) {
  assert(!parts_);
  front_ = std::move(front);
  parts_ = std::make_unique<TParts>(loop_, folder_, console);
  TParts& parts = *parts_;
  parts.Startup.Attach(parts.Settings);
  parts.Rules.ShellOpen = [](const std::string& target) { ShellOpen(target); };
  parts.Rules.LogfileCure = front_.LogfileCure;
  parts.Rules.OnListsChanged = [this] { parts_->Bouncer.SettingsReloaded(); };
  parts.Rules.OnApplied = [this] { ServeMetrics(); };
  parts.Bouncer.OnClose = [this] {
    stopping_ = true;
    parts_->Notify.Stopping();
    if (front_.OnClosed) front_.OnClosed();
  };
  return *this;
}

bool TCore::Start() {
  const bool port_changed = ChooseFirstStartPort(parts_->Settings);
  parts_->Rules.FormCreate();
  // The front end shows the bouncer, and so opens its listeners, before its
  // loop first turns: readiness is told then.
  if (parts_->Notify.Enabled()) {
    loop_.Post([this] {
      if (!stopping_) parts_->Notify.Ready();
    });
  }
  return port_changed;
}

void TCore::Finish() {
  const TBouncer& bouncer = parts_->Bouncer;
  loop_.RunUntil([&] { return hurry_ || (bouncer.UserCount() == 0 && loop_.Closer().Count() == 0); },
                 kShutdownLimit);
}

TSettings& TCore::Settings() { return parts_->Settings; }
TSocketTransport& TCore::Transport() { return parts_->Transport; }
TBouncer& TCore::Bouncer() { return parts_->Bouncer; }
TConfigurationDialog& TCore::Rules() { return parts_->Rules; }
const TFigures& TCore::Figures() const { return parts_->Figures; }
TMetricsServer& TCore::Metrics() { return parts_->Metrics; }

TUpdateCheck& TCore::Update() {
  if (!parts_->Update) parts_->Update = std::make_unique<TUpdateCheck>(loop_, parts_->Console, UpdateUrl());
  return *parts_->Update;
}

void TCore::OnSignal(int signo) {
  if (!parts_) return;
  if (signo == SIGHUP) {
    if (!stopping_) Reload();
  } else if (stopping_) {
    hurry_ = true;
  } else {
    parts_->Bouncer.ExitWithoutConfirm = true;
    parts_->Bouncer.Quitter1Click();
  }
}

void TCore::Reload() {
  TParts& parts = *parts_;
  const std::string port = parts.Settings.Port;
  parts.Notify.Reloading();
  parts.Rules.Reload();
  if (parts.Settings.Port != port && parts.Bouncer.Listening()) {
    parts.Console.SetStatusText(0, "New listen port, restart the bouncer.");
  }
  parts.Notify.Ready();
  if (front_.OnReloaded) front_.OnReloaded();
}

void TCore::ServeMetrics() {
  const std::string port = parts_->Settings.MetricsPort;
  try {
    parts_->Metrics.Serve(port);
  } catch (const ESocketException& e) {
    parts_->Console.ShowError(e.Code() == WSAEADDRINUSE ? "Metrics port " + port + " already used."
                                                          : "Metrics port " + port + ": " + e.Cause());
  }
}

}  // namespace kelvox
