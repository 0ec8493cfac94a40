// kelvox: the bouncer with its text console. Commands come in on standard input,
// what the console shows goes to standard output.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "app/application.h"
#include "app/console_client.h"
#include "app/console_commands.h"
#include "app/program_options.h"
#include "app/settings_folder.h"
#include "engine/bouncer.h"
#include "config/program_file.h"
#include "config/settings.h"
#include "net/tls.h"

namespace kelvox {
namespace {

constexpr const char* kUsage =
    "usage: kelvox [--config-dir DIR] [--start] [--console] [--make-cert] [--version] [--help]\n"
    "  --config-dir DIR  keep Config.ini, the list files and the default log in DIR\n"
    "                    (created when missing)\n"
    "  --start           open the listening port at start, whatever AutoStart says\n"
    "  --console         attach to the kelvox that runs with these settings: its\n"
    "                    console's lines and commands; quit detaches, shutdown ends it\n"
    "  --make-cert       write a self-signed certificate and key for the TLS port\n"
    "                    (SSL Certificate, SSL Key) into the settings folder and exit\n"
    "  --version         print the version and exit\n"
    "  --help            print this help and exit\n";
constexpr const char* kSettingsHelp =
    "Settings: without --config-dir they live in $XDG_CONFIG_HOME/kelvox when\n"
    "XDG_CONFIG_HOME is an absolute path, else in $HOME/.config/kelvox, created on\n"
    "first start; a Config.ini beside the kelvox executable (a portable copy) keeps\n"
    "them there instead.\n";

constexpr TProgramSyntax kSyntax{.Name = "kelvox", .Usage = kUsage, .ServiceOptions = true};

void PrintHelp(const TProgramOptions& options) {
  std::cout << kUsage << "\n" << kSettingsHelp;
  const std::string folder = SettingsFolder(options.ConfigDir);
  std::cout << "Settings of this run: "
            << (folder.empty() ? "none (no HOME); use --config-dir DIR" : folder + "Config.ini") << "\n"
            << "In the background: kelvox --start < /dev/null &   (SIGTERM stops it;\n"
            << "  kelvox --console attaches to its console)\n"
            << "\nConsole commands, typed on standard input once kelvox runs:\n";
  for (const std::string& line : TConsoleCommands::HelpLines()) std::cout << "  " << line << "\n";
}

// The TLS listener's certificate and key, where the settings name them, made
// for this machine's name; files that exist are left alone.
int MakeCertificate(const std::string& folder) {
  TSettings settings(folder);
  if (settings.ConfigExists()) {
    if (const TConfigError error = settings.LoadConfig()) std::cerr << "kelvox: " << *error << "\n";
  }
  const std::string cert = settings.SettingsFile(settings.SslCertificate);
  const std::string key = settings.SettingsFile(settings.SslKey);
  for (const std::string& path : {cert, key}) {
    if (std::filesystem::exists(path)) {
      std::cerr << "kelvox: " << path << " exists already; remove it to make a new pair\n";
      return 1;
    }
  }
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') std::strcpy(host, "localhost");
  std::string error;
  if (!MakeSelfSignedCertificate(cert, key, host, error)) {
    std::cerr << "kelvox: cannot make the certificate: " << error << "\n";
    return 1;
  }
  std::cout << "certificate: " << cert << "\nkey: " << key << "\nfingerprint (SHA-256): "
            << CertificateFingerprint(cert) << "\n";
  return 0;
}

}  // namespace
}  // namespace kelvox

int main(int argc, char** argv) {
  kelvox::TProgramOptions options;
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (const auto status = kelvox::ParseProgramOptions(args, kelvox::kSyntax, options, std::cerr)) {
    return *status;
  }
  if (options.Version) {
    std::cout << kelvox::TBouncer::kCaption << "\n";
    return 0;
  }
  if (options.Help) {
    kelvox::PrintHelp(options);
    return 0;
  }
  if (options.Console) {
    // The folder is not made: no program runs in one that is not there.
    const std::string folder = kelvox::NamedSettingsFolder(options.ConfigDir, "kelvox", std::cerr);
    return folder.empty() ? 1 : kelvox::AttachConsole(folder, STDIN_FILENO, STDOUT_FILENO, std::cerr);
  }
  const std::string folder = kelvox::ReadySettingsFolder(options.ConfigDir, "kelvox", std::cerr);
  if (folder.empty()) return 1;
  if (options.MakeCert) return kelvox::MakeCertificate(folder);
  kelvox::TApplication application({folder, options.Start}, STDIN_FILENO, std::cout);
  return application.Run();
}
