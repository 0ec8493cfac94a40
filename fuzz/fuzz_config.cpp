// Config.ini and the list files: read, written, and read again, nothing may
// change on the way. The input holds the six files, separated by NUL bytes.
#include <fstream>
#include <string>
#include <string_view>

#include "config/list_file.h"
#include "config/settings.h"
#include "config/settings_keys.h"
#include "fuzz/settings_folder.h"

namespace {

const char* const kFiles[] = {"Config.ini", "Banlist.conf", "Acceslist.conf", "ServList.conf", "Ip.conf", "greets.txt"};

// Everything the files hold, as the settings hold it.
std::string Held(const kelvox::TSettings& settings) {
  std::string held;
  for (const kelvox::TSettingKey& key : kelvox::kSettingKeys) held += kelvox::StoredText(settings, key) + '\n';
  for (const auto* list : {&settings.BanList.Entries(), &settings.AccessList.Entries(),
                           &settings.DestinationList.Entries(), &settings.SelectableIps, &settings.WelcomeText}) {
    held += kelvox::JoinLines(*list) + '\0';
  }
  return held;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string& folder = kelvox::fuzz::SettingsFolder();
  std::string_view input(reinterpret_cast<const char*>(data), size);
  for (const char* name : kFiles) {
    const std::size_t cut = input.find('\0');
    std::ofstream(folder + name, std::ios::binary | std::ios::trunc) << input.substr(0, cut);
    input = cut == std::string_view::npos ? std::string_view() : input.substr(cut + 1);
  }
  kelvox::TSettings first(folder);
  if (first.LoadConfig() || first.SaveConfig()) return 0;
  kelvox::TSettings second(folder);
  if (second.LoadConfig()) __builtin_trap();
  if (Held(first) != Held(second)) __builtin_trap();
  return 0;
}
