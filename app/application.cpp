#include "app/application.h"

#include <signal.h>

#include "config/program_file.h"
#include "console/shell_open.h"
#include "net/graceful_close.h"

namespace kelvox {

TApplication::TApplication(const std::string& config_dir, int input_fd, std::ostream& out)
    : signals_(loop_, [this](int signo) { OnSignal(signo); }),
      console_(loop_, out),
      settings_(config_dir),
      startup_(ProgramFilePath(), AutostartFolder(), console_),
      transport_(loop_),
      bouncer_(loop_, settings_, console_, transport_),
      dialog_(bouncer_, console_),
      config_(settings_, console_),
      update_(loop_, console_, UpdateUrl()),
      commands_(bouncer_, console_, dialog_, config_, update_),
      input_(loop_, input_fd) {
  startup_.Attach(settings_);
  config_.ShellOpen = [](const std::string& target) { ShellOpen(target); };
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
  // so a first start leaves a complete set of files behind.
  config_.FormCreate();
  bouncer_.FormShow();
  input_.Start();
  if (!stopping_) loop_.Run();
  // The users have been told and closed; their departures and last bytes are
  // on their way. The loop runs on for them, bounded, and a second stop
  // signal ends the wait.
  loop_.RunUntil([this] { return hurry_ || (bouncer_.UserCount() == 0 && loop_.Closer().Count() == 0); },
                 kShutdownLimit);
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

void TApplication::Reload() {
  const std::string port = settings_.Port;
  config_.Reload();
  console_.Print("settings reloaded");
  // The listener keeps its port until the operator restarts it, as after the
  // settings dialog.
  if (settings_.Port != port && bouncer_.Listening()) {
    console_.SetStatusText(0, "New listen port, restart the bouncer.");
  }
}

}  // namespace kelvox
