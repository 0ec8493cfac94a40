#include "app/settings_folder.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "config/program_file.h"

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

}  // namespace kelvox
