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
    console_.ShowError("Log is on but Logfile is empty: nothing is logged." +
                       (LogfileCure.empty() ? std::string() : " " + LogfileCure));
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

std::size_t TConfigurationDialog::MaxLength(std::string_view key) {
  if (EqualIgnoringCase(key, "Admin password") || EqualIgnoringCase(key, kAdminConfirmation)) {
    return kAdminPasswordLength;
  }
  return EqualIgnoringCase(key, "Max") ? kMaxLength : 0;
}

std::string_view TConfigurationDialog::GateOf(std::string_view key) {
  if (EqualIgnoringCase(key, "Password") || EqualIgnoringCase(key, kUsersConfirmation)) return "Identification";
  if (EqualIgnoringCase(key, "Logfile") || EqualIgnoringCase(key, "LogDay")) return "Log";
  return {};
}

bool TConfigurationDialog::Editable(std::string_view key) const {
  const std::string_view gate = GateOf(key);
  return gate.empty() || (gate == "Log" ? LogEditable() : PasswordEditable());
}

TConfigurationDialog::TSetResult TConfigurationDialog::Set(std::string_view key, const std::string& value) {
  const bool admin_confirmation = EqualIgnoringCase(key, kAdminConfirmation);
  const bool users_confirmation = EqualIgnoringCase(key, kUsersConfirmation);
  const TSettingKey* found = FindSettingKey(key);
  if (found == nullptr && !admin_confirmation && !users_confirmation) return TSetResult::UnknownKey;
  if (!Editable(key)) return TSetResult::NotEditable;
  if (const std::size_t most = MaxLength(key); most != 0 && value.size() > most) return TSetResult::TooLong;
  // The confirmations are dialog fields, not settings: no change rule applies.
  if (admin_confirmation) {
    settings_.AdminPasswordConfirmation = value;
    return TSetResult::Done;
  }
  if (users_confirmation) {
    settings_.PasswordConfirmation = value;
    return TSetResult::Done;
  }
  const std::string_view name = found->Name;

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
    std::string text = FieldText(key.Name);
    // A password shows one '*' per character, as its field does.
    if (key.Scrambled) text.assign(text.size(), '*');
    shown.emplace_back(key.Name, std::move(text));
  }
  for (const char* confirmation : {kAdminConfirmation, kUsersConfirmation}) {
    shown.emplace_back(confirmation, std::string(FieldText(confirmation).size(), '*'));
  }
  return shown;
}

std::string TConfigurationDialog::FieldText(std::string_view key) const {
  if (EqualIgnoringCase(key, kAdminConfirmation)) return settings_.AdminPasswordConfirmation;
  if (EqualIgnoringCase(key, kUsersConfirmation)) return settings_.PasswordConfirmation;
  const TSettingKey* found = FindSettingKey(key);
  if (found == nullptr) return {};
  if (const auto* text = std::get_if<std::string TSettings::*>(&found->Field)) return settings_.**text;
  return StoredText(settings_, *found);
}

void TConfigurationDialog::SetWelcomeText(std::vector<std::string> lines) { settings_.WelcomeText = std::move(lines); }

}  // namespace kelvox
