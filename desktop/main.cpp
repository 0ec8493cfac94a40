// kelvox-desktop: the bouncer in a desktop window, with a tray icon. The
// engine's event loop runs inside Qt's, on the one thread.
#include <QApplication>
#include <iostream>
#include <string>
#include <vector>

#include "app/core.h"
#include "app/program_options.h"
#include "app/settings_folder.h"
#include "config/settings.h"
#include "desktop/app_icon.h"
#include "desktop/loop_bridge.h"
#include "desktop/main_window.h"
#include "engine/bouncer.h"

namespace {

constexpr const char* kUsage =
    "usage: kelvox-desktop [--config-dir DIR] [--version] [--help]\n"
    "  --config-dir DIR  keep Config.ini, the list files and the default log in DIR\n"
    "                    (created when missing); without it, the folder kelvox uses\n";
// The words that are not ours (-platform NAME ...) are Qt's.
constexpr kelvox::TProgramSyntax kSyntax{.Name = "kelvox-desktop", .Usage = kUsage, .ToolkitArguments = true};

}  // namespace

int main(int argc, char** argv) {
  kelvox::TProgramOptions options;
  if (const auto status =
          kelvox::ParseProgramOptions(std::vector<std::string>(argv + 1, argv + argc), kSyntax, options, std::cerr)) {
    return *status;
  }
  if (options.Help || options.Version) {
    std::cout << (options.Help ? kUsage : std::string(kelvox::TBouncer::kCaption) + "\n");
    return 0;
  }
  const std::string folder = kelvox::ReadySettingsFolder(options.ConfigDir, "kelvox-desktop", std::cerr);
  if (folder.empty()) return 1;
  kelvox::TCore core(folder);  // before Qt starts a thread of its own
  QApplication application(argc, argv);
  // The window hides to the tray: only the close request ends the program.
  QApplication::setQuitOnLastWindowClosed(false);
  QApplication::setApplicationName("Kelvox");
  QApplication::setWindowIcon(kelvox::AppIcon());

  kelvox::TQtLoopBridge bridge(core.Loop());
  kelvox::TMainWindow window(core.Loop());
  core.Open(window, window.FrontEnd());
  window.OnClosed = [] { QCoreApplication::quit(); };
  window.Attach(core);
  if (core.Start()) {
    std::cerr << "kelvox-desktop: note: ports below 1024 need root; the new settings listen on port "
              << core.Settings().Port << "\n";
  }
  window.show();  // the first showing writes the headers and starts the listener on AutoStart
  QApplication::exec();
  core.Finish();
  return 0;
}
