#include "config/settings.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <utility>

#include "base/decimal.h"
#include "config/ini_file.h"
#include "config/list_file.h"
#include "config/settings_keys.h"

namespace kelvox {

namespace {

constexpr const char* kConfigFile = "Config.ini";
constexpr mode_t kConfigMode = 0600;  // it holds the passwords
constexpr mode_t kListMode = 0666;

// The list files in the order they are loaded and saved.
struct TListFile {
  const char* Name;
  std::vector<std::string> (*Get)(const TSettings&);
  void (*Set)(TSettings&, const std::vector<std::string>&);
};

const std::array<TListFile, 5> kListFiles = {{
    {"Acceslist.conf", [](const TSettings& s) { return s.AccessList.Entries(); },
     [](TSettings& s, const std::vector<std::string>& v) { s.AccessList.Assign(v); }},
    {"Banlist.conf", [](const TSettings& s) { return s.BanList.Entries(); },
     [](TSettings& s, const std::vector<std::string>& v) { s.BanList.Assign(v); }},
    {"ServList.conf", [](const TSettings& s) { return s.DestinationList.Entries(); },
     [](TSettings& s, const std::vector<std::string>& v) { s.DestinationList.Assign(v); }},
    {"Ip.conf", [](const TSettings& s) { return s.SelectableIps; },
     [](TSettings& s, const std::vector<std::string>& v) { s.SelectableIps = v; }},
    {"greets.txt", [](const TSettings& s) { return s.WelcomeText; },
     [](TSettings& s, const std::vector<std::string>& v) { s.WelcomeText = v; }},
}};

}  // namespace

TSettings::TSettings(std::string config_dir) : dir_(std::move(config_dir)) {
  if (!dir_.empty() && dir_.back() != '/') dir_ += '/';
}

bool TSettings::ConfigExists() const {
  struct stat info {};
  return ::stat(FilePath(kConfigFile).c_str(), &info) == 0;
}

TConfigError TSettings::LoadConfig() {
  const std::string path = FilePath(kConfigFile);
  std::string bytes;
  if (ReadWholeFile(path, bytes) == TFileRead::Failed) {
    // Taking the missing-key values here would silently drop the passwords.
    return "Cannot open file " + path;
  }
  const TIniFile ini(bytes);
  const bool windows_start = WindowsStart;
  const TListMode acces = Acces;
  const TListMode dest = destination;

  Logfile = dir_ + "log.txt";
  for (const TSettingKey& key : kSettingKeys) ReadSettingKey(*this, ini, key);
  AdminPasswordConfirmation = AdminPassword;
  PasswordConfirmation = Password;
  TConfigError lists_failed = LoadLists();

  // The effects follow what was read even when a list file stopped the reading,
  // so that AccessMode never disagrees with Acces.
  if (WindowsStart != windows_start) SettingChanged("WindowsStart");
  if (Acces != acces) SettingChanged("Acces");
  if (destination != dest) SettingChanged("destination");
  return lists_failed;
}

TConfigError TSettings::LoadLists() {
  for (const TListFile& file : kListFiles) {
    const std::string path = FilePath(file.Name);
    std::string bytes;
    switch (ReadWholeFile(path, bytes)) {
      case TFileRead::Missing: break;
      case TFileRead::Failed: return "Cannot open file " + path;
      case TFileRead::Read: file.Set(*this, SplitLines(bytes)); break;
    }
  }
  return std::nullopt;
}

int TSettings::LingerMinutesValue() const {
  const int minutes = ParseDecimal(LingerMinutes);
  return minutes < 0 ? 0 : std::min(minutes, kLingerMinutesMost);
}

std::size_t TSettings::LingerLinesValue() const {
  const int lines = ParseDecimal(LingerLines);
  if (lines < 0) return kLingerLinesFactory;
  return static_cast<std::size_t>(std::clamp(lines, kLingerLinesLeast, kLingerLinesMost));
}

TConfigError TSettings::SaveConfig() {
  const std::string config_path = FilePath(kConfigFile);
  std::string bytes;
  // The file's other lines are kept, so a file that cannot be read is not replaced.
  if (ReadWholeFile(config_path, bytes) == TFileRead::Failed) return "Unable to write to " + config_path;
  TIniFile ini(bytes);
  for (const TSettingKey& key : kSettingKeys) {
    const std::string text = StoredText(*this, key);
    // A file saved at the factory values stays as it was before the key came.
    const bool factory = key.Missing != nullptr && text == key.Missing;
    if (key.Quiet && factory && !ini.ReadString(key.Section, key.Name)) continue;
    ini.WriteString(key.Section, key.Name, text);
  }
  if (ReplaceFile(config_path, ini.Bytes(), kConfigMode, RenameStep) != 0) return "Unable to write to " + config_path;
  for (const TListFile& file : kListFiles) {
    const std::string path = FilePath(file.Name);
    if (ReplaceFile(path, JoinLines(file.Get(*this)), kListMode, RenameStep) != 0) return "Cannot create file " + path;
  }
  return std::nullopt;
}

}  // namespace kelvox
