#include "app/settings_folder.h"

#include <errno.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "base/decimal.h"
#include "config/program_file.h"
#include "config/settings.h"

namespace kelvox {
namespace {

// The user's own configuration folder; empty when the environment names no home.
std::filesystem::path UserConfigFolder() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && xdg[0] == '/') return std::filesystem::path(xdg) / "kelvox";
  std::string home;
  if (const char* env = std::getenv("HOME"); env != nullptr && env[0] == '/') {
    home = env;
  } else if (const passwd* entry = ::getpwuid(::getuid()); entry != nullptr && entry->pw_dir != nullptr) {
    home = entry->pw_dir;
  }
  if (home.empty() || home[0] != '/') return {};
  return std::filesystem::path(home) / ".config" / "kelvox";
}

// Whether this process is refused the port on every local address, as a user
// without root is below 1024: a throwaway socket tries to bind it. A port in
// use, or any other failure, is not a refusal.
bool PortRefused(const std::string& port) {
  const int number = ParseDecimal(port, 5);
  if (number <= 0 || number > 65535) return false;
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_port = htons(static_cast<uint16_t>(number));
  any.sin_addr.s_addr = htonl(INADDR_ANY);
  const bool refused = ::bind(fd, reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0 &&
                       (errno == EACCES || errno == EPERM);
  ::close(fd);
  return refused;
}

}  // namespace

std::string SettingsFolder(const std::string& config_dir) {
  std::filesystem::path folder;
  if (!config_dir.empty()) {
    std::error_code ignored;
    folder = std::filesystem::absolute(config_dir, ignored);
  } else {
    // Never the current directory: without the program's own path there is
    // no portable copy to speak of.
    const std::string program = ProgramFilePath();
    const std::string beside = program.empty() ? std::string() : DirectoryPart(program);
    struct stat info {};
    const bool portable = !beside.empty() && ::stat((beside + "Config.ini").c_str(), &info) == 0;
    folder = portable ? std::filesystem::path(beside) : UserConfigFolder();
  }
  if (folder.empty()) return {};
  std::string text = folder.lexically_normal().string();
  if (text.back() != '/') text += '/';
  return text;
}

bool MakeSettingsFolder(const std::string& folder, std::string& error) {
  std::error_code failure;
  if (std::filesystem::create_directories(folder, failure)) {
    std::filesystem::permissions(folder, std::filesystem::perms::owner_all, failure);
  }
  if (failure) error = failure.message();
  return !failure;
}

std::string NamedSettingsFolder(const std::string& config_dir, std::string_view program, std::ostream& errors) {
  const std::string folder = SettingsFolder(config_dir);
  if (folder.empty()) {
    errors << program << ": no settings folder: neither XDG_CONFIG_HOME nor HOME names one; use --config-dir DIR\n";
  }
  return folder;
}

std::string ReadySettingsFolder(const std::string& config_dir, std::string_view program, std::ostream& errors) {
  const std::string folder = NamedSettingsFolder(config_dir, program, errors);
  if (folder.empty()) return {};
  if (std::string error; !MakeSettingsFolder(folder, error)) {
    errors << program << ": cannot create the settings folder " << folder << ": " << error << "\n";
    return {};
  }
  return folder;
}

bool ChooseFirstStartPort(TSettings& settings) {
  if (settings.ConfigExists() || !PortRefused(settings.Port)) return false;
  settings.Port = kUserPort;
  return true;
}

}  // namespace kelvox
