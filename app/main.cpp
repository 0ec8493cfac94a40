// kelvox: the bouncer with its text console. Commands come in on standard input,
// what the console shows goes to standard output.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "console/console_model.h"
#include "net/event_loop.h"

namespace {

constexpr const char* kVersion = "Kelvox v2.6";
constexpr const char* kUsage =
    "usage: kelvox [--config-dir DIR] [--version] [--help]\n"
    "  --config-dir DIR  directory of Config.ini, the list files and the default log\n"
    "                    (default: the directory of the kelvox executable)\n"
    "  --version         print the version and exit\n"
    "  --help            print this help and exit\n";

struct Options {
  std::string config_dir;
};

// Parses the command line; an exit status when the program should end at once.
std::optional<int> ParseOptions(const std::vector<std::string>& args, Options& options) {
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
    if (arg == "--config-dir") {
      if (i + 1 == args.size()) {
        std::cerr << "kelvox: --config-dir needs a directory\n" << kUsage;
        return 2;
      }
      options.config_dir = args[++i];
      continue;
    }
    std::cerr << "kelvox: unknown option '" << arg << "'\n" << kUsage;
    return 2;
  }
  return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (const auto status = ParseOptions(std::vector<std::string>(argv + 1, argv + argc), options)) {
    return *status;
  }
  // A peer that resets must never end the process through SIGPIPE.
  signal(SIGPIPE, SIG_IGN);

  kelvox::TEventLoop loop;
  kelvox::TConsoleModel console(loop);

  // SIGINT and SIGTERM arrive as readiness of a descriptor, on the event thread.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  sigprocmask(SIG_BLOCK, &stop_signals, nullptr);
  const int signal_fd = signalfd(-1, &stop_signals, SFD_NONBLOCK | SFD_CLOEXEC);
  loop.Watch(signal_fd, EPOLLIN, [&loop](uint32_t) { loop.Post([&loop] { loop.Quit(); }); });

  loop.Run();
  close(signal_fd);
  return 0;
}
