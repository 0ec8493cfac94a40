// kelvox: the bouncer with its text console. Commands come in on standard input,
// what the console shows goes to standard output.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "app/console_commands.h"
#include "app/stdin_reader.h"
#include "config/program_file.h"
#include "config/settings.h"
#include "console/settings_rules.h"
#include "console/shell_open.h"
#include "console/startup_entry.h"
#include "console/text_console.h"
#include "console/update_check.h"
#include "engine/bouncer.h"
#include "engine/message_dialog.h"
#include "engine/socket_transport.h"
#include "net/event_loop.h"
#include "net/graceful_close.h"

namespace kelvox {
namespace {

constexpr const char* kVersion = "Kelvox v2.6";
constexpr const char* kUsage =
    "usage: kelvox [--config-dir DIR] [--version] [--help]\n"
    "  --config-dir DIR  directory of Config.ini, the list files and the default log\n"
    "                    (default: the directory of the kelvox executable)\n"
    "  --version         print the version and exit\n"
    "  --help            print this help and exit\n";

// Parses the command line; an exit status when the program should end at once.
std::optional<int> ParseOptions(const std::vector<std::string>& args, std::string& config_dir) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--version") {
      std::cout << kVersion << "\n";
      return 0;
    }
    if (arg == "--help") {
      std::cout << kUsage;
      return 0;
    }
    if (arg == "--config-dir" && i + 1 < args.size()) {
      config_dir = args[++i];
      continue;
    }
    if (arg == "--config-dir") {
      std::cerr << "kelvox: --config-dir needs a directory\n" << kUsage;
    } else {
      std::cerr << "kelvox: unknown option '" << arg << "'\n" << kUsage;
    }
    return 2;
  }
  return std::nullopt;
}

// The configuration lives beside the program, never in the current directory.
std::string ExecutableDirectory() { return DirectoryPart(ProgramFilePath()); }

// SIGINT and SIGTERM arrive as readiness of a descriptor, on the event thread.
int WatchStopSignals(TEventLoop& loop, const std::function<void()>& on_stop) {
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  sigprocmask(SIG_BLOCK, &stop_signals, nullptr);
  const int fd = signalfd(-1, &stop_signals, SFD_NONBLOCK | SFD_CLOEXEC);
  loop.Watch(fd, EPOLLIN, [fd, &loop, on_stop](uint32_t) {
    signalfd_siginfo info{};
    while (read(fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) loop.Post(on_stop);
  });
  return fd;
}

int Run(const std::string& config_dir) {
  // A peer that resets must never end the process through SIGPIPE.
  signal(SIGPIPE, SIG_IGN);
  TEventLoop loop;
  TTextConsole console(loop, std::cout);
  TSettings settings(config_dir);
  TStartupEntry startup(ProgramFilePath(), AutostartFolder(), console);
  startup.Attach(settings);
  TSocketTransport transport(loop);
  auto bouncer = std::make_unique<TBouncer>(loop, settings, console, transport);
  TMessageDialog dialog(*bouncer, console);
  TConfigurationDialog config(settings, console);
  config.ShellOpen = [](const std::string& target) { ShellOpen(target); };
  TUpdateCheck update(loop, console, UpdateUrl());
  TConsoleCommands commands(*bouncer, console, dialog, config, update);
  commands.ShellOpen = config.ShellOpen;
  bouncer->OnClose = [&loop] { loop.Quit(); };

  // The settings are read (when there are any), shown and always written back,
  // so a first start leaves a complete set of files behind.
  config.FormCreate();
  bouncer->FormShow();

  TStdinReader input(loop, STDIN_FILENO);
  input.OnLine = [&](const std::string& line) {
    if (!console.TakeAnswer(line)) commands.Execute(line);
  };
  input.OnEnd = [&console] { console.InputEnded(); };
  input.Start();
  const int signal_fd = WatchStopSignals(loop, [&bouncer] {
    bouncer->ExitWithoutConfirm = true;
    bouncer->Quitter1Click();
  });

  loop.Run();
  // The users' last notices are on their way: let the closed connections
  // deliver them (bounded by the closer's own timeout) before the process ends.
  bouncer.reset();
  loop.RunUntil([&loop] { return loop.Closer().Count() == 0; }, TGracefulCloser::kDefaultTimeout * 2);
  close(signal_fd);
  return 0;
}

}  // namespace
}  // namespace kelvox

int main(int argc, char** argv) {
  std::string config_dir;
  if (const auto status = kelvox::ParseOptions(std::vector<std::string>(argv + 1, argv + argc), config_dir)) {
    return *status;
  }
  return kelvox::Run(config_dir.empty() ? kelvox::ExecutableDirectory() : config_dir);
}
