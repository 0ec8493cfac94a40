// kelvox: the bouncer with its text console. Commands come in on standard input,
// what the console shows goes to standard output.
#include <signal.h>
#include <unistd.h>

#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "app/application.h"
#include "config/program_file.h"

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

}  // namespace
}  // namespace kelvox

int main(int argc, char** argv) {
  std::string config_dir;
  if (const auto status = kelvox::ParseOptions(std::vector<std::string>(argv + 1, argv + argc), config_dir)) {
    return *status;
  }
  // A peer that resets must never end the process through SIGPIPE.
  signal(SIGPIPE, SIG_IGN);
  kelvox::TApplication application(config_dir.empty() ? kelvox::ExecutableDirectory() : config_dir, STDIN_FILENO,
                                   std::cout);
  return application.Run();
}
