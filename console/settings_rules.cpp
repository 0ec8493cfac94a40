// The dialog's life cycle and the rules of single settings.
#include "console/settings_rules.h"

#include <variant>

#include "access/address_checks.h"
#include "base/decimal.h"
#include "base/text_case.h"
#include "config/settings.h"
#include "engine/console.h"

namespace kelvox {

namespace {

std::optional<bool> ParseYesNo(std::string_view text) {
  if (EqualIgnoringCase(text, "yes")) return true;
  if (EqualIgnoringCase(text, "no")) return false;
  return std::nullopt;
}

// Whether the text is a whole number within the row's bounds; any text for a row without them.
bool Fits(const TSettingKey& row, std::string_view text) {
  if (!row.Whole || (text.empty() && row.Whole->OrEmpty)) return true;
  const int number = ParseDecimal(text);
  return number >= row.Whole->Least && number <= row.Whole->Most;
}

// The row behind a field's name, and whether the name is its password's second entry.
std::pair<const TSettingKey*, bool> RowOf(std::string_view name) {
  if (const TSettingKey* key = FindSettingKey(name)) return {key, false};
  const TSettingKey* password = FindConfirmation(name);
  return {password, password != nullptr};
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
  if (OnApplied) OnApplied();
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
  // A number edited in the file by hand is checked as one typed here.
  for (const TSettingKey& key : kSettingKeys) {
    if (key.Whole && !Fits(key, FieldText(key.Name))) {
      console_.ShowError(Refusal(key.Name, TSetResult::BadValue));
      return false;
    }
  }
  if (!Shown(settings_.SaveConfig())) return false;
  if (settings_.Port != port_at_opening_) console_.SetStatusText(0, "New listen port, restart the bouncer.");
  ShowSilentLog();
  visible_ = false;
  if (OnApplied) OnApplied();
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

const std::string& TConfigurationDialog::LogfileTooltip() const { return settings_.Logfile; }

std::size_t TConfigurationDialog::MaxLength(std::string_view key) {
  const TSettingKey* row = RowOf(key).first;
  return row != nullptr ? row->Dialog.MaxLength : 0;
}

std::string_view TConfigurationDialog::GateOf(std::string_view key) {
  const TSettingKey* row = RowOf(key).first;
  const TSettingKey* gate = row != nullptr && row->Dialog.Gate != nullptr ? FindSettingKey(row->Dialog.Gate) : nullptr;
  return gate != nullptr ? gate->Name : std::string_view();
}

bool TConfigurationDialog::Editable(std::string_view key) const {
  const TSettingKey* row = RowOf(key).first;
  return row == nullptr || row->Dialog.Gate == nullptr || settings_.*row->Dialog.Gate;
}

bool TConfigurationDialog::PasswordEditable() const { return Editable(FindSettingKey(&TSettings::Password)->Name); }
bool TConfigurationDialog::LogEditable() const { return Editable(FindSettingKey(&TSettings::Logfile)->Name); }

TConfigurationDialog::TSetResult TConfigurationDialog::Set(std::string_view key, const std::string& value) {
  const auto [row, second_entry] = RowOf(key);
  if (row == nullptr) return TSetResult::UnknownKey;
  if (!Editable(key)) return TSetResult::NotEditable;
  if (const std::size_t most = row->Dialog.MaxLength; most != 0 && value.size() > most) return TSetResult::TooLong;
  // A password's second entry is a dialog field, not a setting: no change rule applies.
  if (second_entry) {
    settings_.*row->Confirmation = value;
    return TSetResult::Done;
  }

  bool changed = false;
  if (const auto* flag = std::get_if<bool TSettings::*>(&row->Field)) {
    const std::optional<bool> on = ParseYesNo(value);
    if (!on) return TSetResult::BadValue;
    changed = settings_.**flag != *on;
    settings_.**flag = *on;
  } else if (const auto* mode_field = std::get_if<TListMode TSettings::*>(&row->Field)) {
    const std::optional<TListMode> mode = ParseListMode(LowerAscii(value));
    if (!mode) return TSetResult::BadValue;
    changed = settings_.**mode_field != *mode;
    settings_.**mode_field = *mode;
  } else {
    if (!Fits(*row, value)) return TSetResult::BadValue;
    std::string& text = settings_.*std::get<std::string TSettings::*>(row->Field);
    changed = text != value;
    text = value;
  }
  if (changed) {
    settings_.SettingChanged(row->Name);
    if (row->Field == TSettingKey::TField(&TSettings::Port)) ShowPort();
  }
  return TSetResult::Done;
}

std::string TConfigurationDialog::Refusal(std::string_view key, TSetResult result) {
  const std::string name(key);
  switch (result) {
    case TSetResult::Done: return {};
    case TSetResult::UnknownKey: return "no setting named " + name;
    case TSetResult::TooLong: return name + " is too long: at most " + std::to_string(MaxLength(key)) + " characters";
    case TSetResult::NotEditable: return name + " cannot be edited now: " + std::string(GateOf(key)) + " is off";
    case TSetResult::BadValue: break;
  }
  const TSettingKey* row = RowOf(key).first;
  if (row != nullptr && std::holds_alternative<bool TSettings::*>(row->Field)) return name + " is yes or no";
  if (row != nullptr && std::holds_alternative<TListMode TSettings::*>(row->Field)) {
    return name + " is all, only or except";
  }
  if (row != nullptr && row->Whole) {
    return name + " is " + (row->Whole->OrEmpty ? "empty or " : "") + "a number from " +
           std::to_string(row->Whole->Least) + " to " + std::to_string(row->Whole->Most);
  }
  return name + " does not take that value";
}

void TConfigurationDialog::ShowRefusal(std::string_view key, TSetResult result) {
  console_.ShowError(Refusal(key, result));
}

std::vector<std::pair<std::string, std::string>> TConfigurationDialog::ShownSettings() const {
  std::vector<std::pair<std::string, std::string>> shown;
  for (const TSettingKey& key : kSettingKeys) {
    std::string text = FieldText(key.Name);
    // A password shows one '*' per character, as its field does.
    if (key.Password()) text.assign(text.size(), '*');
    shown.emplace_back(key.Name, std::move(text));
  }
  for (const TSettingKey& key : kSettingKeys) {
    if (key.Password()) shown.emplace_back(ConfirmationName(key), std::string((settings_.*key.Confirmation).size(), '*'));
  }
  return shown;
}

std::string TConfigurationDialog::FieldText(std::string_view key) const {
  const auto [row, second_entry] = RowOf(key);
  if (row == nullptr) return {};
  if (second_entry) return settings_.*row->Confirmation;
  if (const auto* text = std::get_if<std::string TSettings::*>(&row->Field)) return settings_.**text;
  return StoredText(settings_, *row);
}

void TConfigurationDialog::SetWelcomeText(std::vector<std::string> lines) { settings_.WelcomeText = std::move(lines); }

}  // namespace kelvox
