// kelvox-desktop: the bouncer in a desktop window, with a tray icon. The
// engine's event loop runs inside Qt's, on the one thread.
#include <signal.h>

#include <QApplication>
#include <functional>
#include <iostream>
#include <string>

#include "app/application.h"
#include "app/settings_folder.h"
#include "app/signals.h"
#include "config/program_file.h"
#include "config/settings.h"
#include "console/settings_rules.h"
#include "console/shell_open.h"
#include "console/startup_entry.h"
#include "desktop/app_icon.h"
#include "desktop/loop_bridge.h"
#include "desktop/main_window.h"
#include "desktop/settings_dialog.h"
#include "engine/bouncer.h"
#include "engine/socket_transport.h"
#include "net/event_loop.h"
#include "net/graceful_close.h"

namespace {

constexpr const char* kUsage =
    "usage: kelvox-desktop [--config-dir DIR] [--version] [--help]\n"
    "  --config-dir DIR  keep Config.ini, the list files and the default log in DIR\n"
    "                    (created when missing); without it, the folder kelvox uses\n";

}  // namespace

int main(int argc, char** argv) {
  // Ours are the "--" options; the rest (-platform NAME ...) are Qt's, which
  // QApplication takes.
  std::string config_dir;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--config-dir" && i + 1 < argc && argv[i + 1][0] != '\0') {
      config_dir = argv[++i];
    } else if (arg == "--help") {
      std::cout << kUsage;
      return 0;
    } else if (arg == "--version") {
      std::cout << kelvox::TBouncer::kCaption << "\n";
      return 0;
    } else if (arg.starts_with("--")) {
      std::cerr << (arg == "--config-dir" ? std::string("kelvox-desktop: --config-dir needs a directory\n")
                                          : "kelvox-desktop: unknown option '" + arg + "'\n")
                << kUsage;
      return 2;
    }
  }
  const std::string folder = kelvox::ReadySettingsFolder(config_dir, "kelvox-desktop", std::cerr);
  if (folder.empty()) return 1;
  // A peer that resets must never end the process through SIGPIPE.
  signal(SIGPIPE, SIG_IGN);
  kelvox::TEventLoop loop;
  // Blocked before Qt starts a thread of its own, so that they come only here.
  std::function<void(int signo)> on_signal;
  kelvox::TSignals stop_signals(loop, [&on_signal](int signo) {
    if (on_signal) on_signal(signo);
  });
  QApplication application(argc, argv);
  // The window hides to the tray: only the close request ends the program.
  QApplication::setQuitOnLastWindowClosed(false);
  QApplication::setApplicationName("Kelvox");
  QApplication::setWindowIcon(kelvox::AppIcon());

  kelvox::TQtLoopBridge bridge(loop);
  kelvox::TMainWindow window(loop);
  kelvox::TSettings settings(folder);
  // The WindowsStart setting puts this program in the desktop's autostart.
  kelvox::TStartupEntry startup(kelvox::ProgramFilePath(), kelvox::AutostartFolder(), window);
  startup.Attach(settings);
  kelvox::TSocketTransport transport(loop);
  kelvox::TBouncer bouncer(loop, settings, window, transport);
  kelvox::TConfigurationDialog config(settings, window);
  config.ShellOpen = [](const std::string& target) { kelvox::ShellOpen(target); };
  config.LogfileCure = "Choose a Logs file in Options, Preferences, Divers.";
  config.OnListsChanged = [&bouncer] { bouncer.SettingsReloaded(); };
  // Made after the rules it draws, so it goes before them.
  kelvox::TSettingsWindow settings_window(config, &window);
  window.OnPreferences = [&settings_window] { settings_window.Open(); };
  window.Attach(bouncer);
  bool closed = false;
  bool hurry = false;  // a second stop signal: end without waiting
  window.OnClosed = [&closed] {
    closed = true;
    QCoreApplication::quit();
  };
  // SIGTERM and SIGINT close without asking, as DIE does; SIGHUP reads the
  // settings and the list files again.
  on_signal = [&](int signo) {
    if (signo == SIGHUP) {
      if (!closed) {
        kelvox::ReloadSettings(config, settings, bouncer, window);
        // A hidden dialog reads the settings anew when it opens.
        if (settings_window.isVisible()) settings_window.Refresh();
      }
    } else if (closed) {
      hurry = true;
    } else {
      bouncer.ExitWithoutConfirm = true;
      bouncer.Quitter1Click();
    }
  };

  // The settings are read (when there are any, else made with a port this
  // process can listen on) and always written back; the first showing writes
  // the headers and starts the listener on AutoStart.
  if (kelvox::ChooseFirstStartPort(settings)) {
    std::cerr << "kelvox-desktop: note: ports below 1024 need root; the new settings listen on port " << settings.Port
              << "\n";
  }
  config.FormCreate();
  window.show();
  QApplication::exec();
  // The users have been told and closed; their last bytes are on their way.
  kelvox::FinishDepartures(loop, bouncer, hurry);
  return 0;
}
