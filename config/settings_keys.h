// The keys of Config.ini: one table that drives both reading and writing.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "config/settings.h"

namespace kelvox {

class TIniFile;

struct TSettingKey {
  const char* Section;
  const char* Name;  // the key exactly as written to the file
  std::variant<bool TSettings::*, std::string TSettings::*, TListMode TSettings::*> Field;
  bool Scrambled;  // a password: stored through ScramblePassword
  /// The stored form taken when the file lacks the key; nullptr keeps the value held.
  const char* Missing;
};

/// Every key, in the order SaveConfig writes them.
extern const std::array<TSettingKey, 25> kSettingKeys;

/// The key of that name in any letter case; nullptr for none.
const TSettingKey* FindSettingKey(std::string_view name);

/// Sets the key's field from the file, or from its missing-key value. A yes/no
/// field is on only for exactly "yes"; a mode field changes only for "all",
/// "only" or "except".
void ReadSettingKey(TSettings& settings, const TIniFile& ini, const TSettingKey& key);

/// The stored form of the key's field: "yes"/"no", the mode's text, the
/// scrambled password or the text as held.
std::string StoredText(const TSettings& settings, const TSettingKey& key);

}  // namespace kelvox
