#include "console/startup_entry.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string_view>
#include <utility>

#include "config/file_io.h"
#include "config/program_file.h"
#include "config/settings.h"
#include "engine/console.h"

namespace kelvox {

namespace {

constexpr mode_t kEntryMode = 0644;  // read by every user's session at logon

// A string value of a desktop entry: backslashes and line ends escaped, so that
// the value stays on its one line.
std::string EscapeString(std::string_view text) {
  std::string escaped;
  for (const char c : text) {
    switch (c) {
      case '\\': escaped += "\\\\"; break;
      case '\n': escaped += "\\n"; break;
      case '\r': escaped += "\\r"; break;
      case '\t': escaped += "\\t"; break;
      default: escaped += c;
    }
  }
  return escaped;
}

}  // namespace

TStartupEntry::TStartupEntry(std::string program_path, std::string folder, TConsole& console)
    : program_path_(std::move(program_path)), folder_(std::move(folder)), console_(console) {
  while (folder_.size() > 1 && folder_.back() == '/') folder_.pop_back();
}

std::string TStartupEntry::Name() const { return FileNamePart(program_path_); }

std::string TStartupEntry::FilePath() const { return folder_ + "/" + Name() + ".desktop"; }

std::string TStartupEntry::Content() const {
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=" + EscapeString(Name()) + "\n"
         "Exec=" + DesktopExecValue(program_path_) + "\n";
}

bool TStartupEntry::FolderReachable() const {
  struct stat info {};
  return ::stat(folder_.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
         ::access(folder_.c_str(), W_OK | X_OK) == 0;
}

void TStartupEntry::AddStartup() {
  if (!FolderReachable()) return;
  if (Name().empty() || ReplaceFile(FilePath(), Content(), kEntryMode) != 0) {
    console_.ShowError("Failed to set data for '" + Name() + "'");
    return;
  }
  // Every user's session reads it at logon, whatever our umask says.
  ::chmod(FilePath().c_str(), kEntryMode);
}

void TStartupEntry::DelStartup() {
  if (!FolderReachable() || Name().empty()) return;
  // Best effort, like deleting a registry value: a missing entry is no error.
  ::unlink(FilePath().c_str());
}

void TStartupEntry::Attach(TSettings& settings) {
  settings.StartupEntry = [this](bool on) {
    if (on) {
      AddStartup();
    } else {
      DelStartup();
    }
  };
}

std::string AutostartFolder() {
  const char* folder = std::getenv("KELVOX_AUTOSTART_DIR");
  return folder != nullptr && *folder != '\0' ? folder : TStartupEntry::kMachineFolder;
}

std::string DesktopExecValue(const std::string& program_path) {
  static constexpr std::string_view kReserved = " \t\n\"'\\><~|&;$*?#()`";
  std::string value;
  if (program_path.find_first_of(kReserved) == std::string::npos) {
    value = program_path;
  } else {
    value = "\"";
    for (const char c : program_path) {
      if (c == '"' || c == '`' || c == '$' || c == '\\') value += '\\';
      value += c;
    }
    value += '"';
  }
  std::string doubled;
  for (const char c : value) {
    doubled += c;
    if (c == '%') doubled += '%';
  }
  return EscapeString(doubled);
}

}  // namespace kelvox
