// The dialog's life cycle and the rules of single settings.
#include "console/settings_rules.h"

#include <variant>

#include "access/address_checks.h"
#include "base/text_case.h"
#include "config/settings.h"
#include "config/settings_keys.h"
#include "engine/console.h"

namespace kelvox {

namespace {

constexpr std::string_view kAdminConfirmation = "Admin password confirmation";
constexpr std::string_view kUsersConfirmation = "Password confirmation";

const TSettingKey* FindKey(std::string_view name) {
  for (const TSettingKey& key : kSettingKeys) {
    if (EqualIgnoringCase(key.Name, name)) return &key;
  }
  return nullptr;
}

std::optional<bool> ParseYesNo(std::string_view text) {
  if (EqualIgnoringCase(text, "yes")) return true;
  if (EqualIgnoringCase(text, "no")) return false;
  return std::nullopt;
}

}  // namespace

TConfigurationDialog::TConfigurationDialog(TSettings& settings, TConsole& console)
    : settings_(settings), console_(console) {}

void TConfigurationDialog::FormCreate() {
  AvailableIps = LoadIp();
  Reload();
  // The listener starts on this port; a confirmation before any opening
  // compares against it.
  port_at_opening_ = settings_.Port;
  console_.SetStatusText(0, settings_.Port.empty() ? "Listen port already in used."
                                                   : "Listen on port: " + settings_.Port);
  Shown(settings_.SaveConfig());
}

void TConfigurationDialog::Open() {
  Reload();
  port_at_opening_ = settings_.Port;
  // The lists may have been replaced: old selections point nowhere.
  for (int& selection : selections_) selection = -1;
  AvailableSelection.clear();
  SelectableSelection.clear();
  visible_ = true;
}

void TConfigurationDialog::Reload() {
  if (!settings_.ConfigExists()) return;
  const std::string port = settings_.Port;
  Shown(settings_.LoadConfig());
  if (settings_.Port != port) ShowPort();
  ShowSilentLog();
  if (OnListsChanged) OnListsChanged();
}

bool TConfigurationDialog::Confirm() {
  if (settings_.AdminPassword != settings_.AdminPasswordConfirmation) {
    console_.ShowError("Check Admin password.");
    settings_.AdminPassword.clear();
    settings_.AdminPasswordConfirmation.clear();
    return false;
  }
  if (settings_.Identification && settings_.Password != settings_.PasswordConfirmation) {
    console_.ShowError("Check Users password.");
    settings_.Password.clear();
    settings_.PasswordConfirmation.clear();
    return false;
  }
  if (!Shown(settings_.SaveConfig())) return false;
  if (settings_.Port != port_at_opening_) console_.SetStatusText(0, "New listen port, restart the bouncer.");
  ShowSilentLog();
  visible_ = false;
  return true;
}

void TConfigurationDialog::ShowSilentLog() {
  if (settings_.Log && settings_.Logfile.empty()) {
    console_.ShowError("Log is on but Logfile is empty: nothing is logged. config set Logfile PATH");
  }
}

bool TConfigurationDialog::Shown(const TConfigError& error) {
  if (error) console_.ShowError(*error);
  return !error;
}

void TConfigurationDialog::ShowPort() {
  console_.SetStatusText(0, settings_.Port.empty() ? "Undefined listen port." : "Listen on port: " + settings_.Port);
}

bool TConfigurationDialog::PasswordEditable() const { return settings_.Identification; }
bool TConfigurationDialog::LogEditable() const { return settings_.Log; }
const std::string& TConfigurationDialog::LogfileTooltip() const { return settings_.Logfile; }

TConfigurationDialog::TSetResult TConfigurationDialog::Set(std::string_view key, const std::string& value) {
  // The confirmations are dialog fields, not settings: no change rule applies.
  if (EqualIgnoringCase(key, kAdminConfirmation)) {
    if (value.size() > kAdminPasswordLength) return TSetResult::TooLong;
    settings_.AdminPasswordConfirmation = value;
    return TSetResult::Done;
  }
  if (EqualIgnoringCase(key, kUsersConfirmation)) {
    if (!PasswordEditable()) return TSetResult::NotEditable;
    settings_.PasswordConfirmation = value;
    return TSetResult::Done;
  }
  const TSettingKey* found = FindKey(key);
  if (found == nullptr) return TSetResult::UnknownKey;
  const std::string_view name = found->Name;
  if ((name == "Password" && !PasswordEditable()) ||
      ((name == "Logfile" || name == "LogDay") && !LogEditable())) {
    return TSetResult::NotEditable;
  }
  if ((name == "Admin password" && value.size() > kAdminPasswordLength) ||
      (name == "Max" && value.size() > kMaxLength)) {
    return TSetResult::TooLong;
  }

  bool changed = false;
  if (const auto* flag = std::get_if<bool TSettings::*>(&found->Field)) {
    const std::optional<bool> on = ParseYesNo(value);
    if (!on) return TSetResult::BadValue;
    changed = settings_.**flag != *on;
    settings_.**flag = *on;
  } else if (const auto* mode_field = std::get_if<TListMode TSettings::*>(&found->Field)) {
    const std::optional<TListMode> mode = ParseListMode(LowerAscii(value));
    if (!mode) return TSetResult::BadValue;
    changed = settings_.**mode_field != *mode;
    settings_.**mode_field = *mode;
  } else {
    std::string& text = settings_.*std::get<std::string TSettings::*>(found->Field);
    changed = text != value;
    text = value;
  }
  if (changed) {
    settings_.SettingChanged(name);
    if (name == "Port") ShowPort();
  }
  return TSetResult::Done;
}

std::vector<std::pair<std::string, std::string>> TConfigurationDialog::ShownSettings() const {
  std::vector<std::pair<std::string, std::string>> shown;
  for (const TSettingKey& key : kSettingKeys) {
    // A password shows one '*' per character, as its field does.
    std::string text = key.Scrambled
                           ? std::string((settings_.*std::get<std::string TSettings::*>(key.Field)).size(), '*')
                           : StoredText(settings_, key);
    shown.emplace_back(key.Name, std::move(text));
  }
  shown.emplace_back(kAdminConfirmation, std::string(settings_.AdminPasswordConfirmation.size(), '*'));
  shown.emplace_back(kUsersConfirmation, std::string(settings_.PasswordConfirmation.size(), '*'));
  return shown;
}

}  // namespace kelvox
