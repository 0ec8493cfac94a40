// The settings, one row each: the key of Config.ini that drives both reading and
// writing, and the field that the settings dialog of every front end shows for it.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "config/password.h"
#include "config/settings.h"

namespace kelvox {

class TIniFile;

/// The settings dialog's pages, in the order they are shown.
enum class TSettingsPage { Main, Advanced, Restrictions, Ip, Divers, Network };
/// The pages' captions, by TSettingsPage.
inline constexpr const char* kSettingsPageNames[] = {"Main", "Advanced", "Restrictions", "Ip", "Divers", "Network"};

/// The most characters of the administrator password: as many as the
/// scrambling's key covers.
inline constexpr std::size_t kAdminPasswordLength = kScrambleKey.size();

/// Where the settings dialog shows a key, and what its field takes.
struct TSettingField {
  TSettingsPage Page;
  const char* Group;    // the group box on the page; "" for none
  const char* Caption;  // of a box or a text field; a mode has Choices instead
  std::size_t MaxLength = 0;        // most characters of a text field; 0 for no limit
  bool TSettings::*Gate = nullptr;  // a yes/no setting that must be on to edit it
  /// A mode's three choices: for all, only and except.
  std::array<const char*, 3> Choices{};
};

/// The bounds of a setting held as a decimal text.
struct TWholeNumber {
  int Least;
  int Most;
  bool OrEmpty = false;  // empty is taken too (a port that is off)
};

struct TSettingKey {
  using TField = std::variant<bool TSettings::*, std::string TSettings::*, TListMode TSettings::*>;

  const char* Section;
  const char* Name;  // the key exactly as written to the file
  TField Field;
  /// The stored form taken when the file lacks the key; nullptr keeps the value held.
  const char* Missing;
  TSettingField Dialog;
  /// A password's second entry in the dialog, which is never stored. A key
  /// that has one is a password: stored through ScramblePassword, shown masked.
  std::string TSettings::*Confirmation = nullptr;
  /// A text that takes only a whole number: decimal digits, within these bounds.
  std::optional<TWholeNumber> Whole = std::nullopt;
  /// Written only when the file has the key already or the value differs from
  /// the missing one: a file saved at the factory values is byte for byte what
  /// it was before the key existed.
  bool Quiet = false;

  bool Password() const { return Confirmation != nullptr; }
};

/// Every key, in the order SaveConfig writes them.
extern const std::span<const TSettingKey> kSettingKeys;

/// The key of that name in any letter case; nullptr for none.
const TSettingKey* FindSettingKey(std::string_view name);
/// The key whose field that is; nullptr for none.
const TSettingKey* FindSettingKey(const TSettingKey::TField& field);

/// The name of a password's second entry: the key's, then " confirmation".
std::string ConfirmationName(const TSettingKey& key);
/// The password whose second entry is named so, in any letter case; nullptr for none.
const TSettingKey* FindConfirmation(std::string_view name);

/// Sets the key's field from the file, or from its missing-key value. A yes/no
/// field is on only for exactly "yes"; a mode field changes only for "all",
/// "only" or "except".
void ReadSettingKey(TSettings& settings, const TIniFile& ini, const TSettingKey& key);

/// The stored form of the key's field: "yes"/"no", the mode's text, the
/// scrambled password or the text as held.
std::string StoredText(const TSettings& settings, const TSettingKey& key);

}  // namespace kelvox
