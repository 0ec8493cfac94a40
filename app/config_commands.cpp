// The config commands of the text console: the settings dialog driven by lines.
#include <algorithm>
#include <optional>

#include "app/command_text.h"
#include "app/console_commands.h"
#include "config/sorted_list.h"
#include "console/settings_rules.h"
#include "console/text_console.h"

namespace kelvox {

namespace {

using TList = TConfigurationDialog::TList;

// The lists that `config add` and `config remove` name; "ip" is the
// selectable-address list.
std::optional<TList> SortedListNamed(const std::string& name) {
  if (name == "ban") return TList::Ban;
  if (name == "access") return TList::Access;
  if (name == "destination") return TList::Destination;
  return std::nullopt;
}

}  // namespace

bool TConsoleCommands::Config(const std::string& argument) {
  const auto [word, rest] = SplitWord(argument);
  const std::string sub = LowerAscii(word);
  if (sub == "set") return ConfigSet(rest);
  if (sub == "add") return ConfigList(true, rest);
  if (sub == "remove") return ConfigList(false, rest);
  if (!TrimBlanks(rest).empty()) return false;
  if (sub == "open") {
    config_.Open();
    ConfigShow();
  } else if (sub == "show") {
    ConfigShow();
  } else if (sub == "ok") {
    config_.Confirm();
  } else if (sub == "cancel") {
    config_.Cancel();
  } else {
    return false;
  }
  return true;
}

bool TConsoleCommands::ConfigSet(const std::string& argument) {
  // Keys hold blanks ("Admin password confirmation"): the longest key that the
  // argument begins with, followed by a blank or the end, is the one meant.
  const std::string text = argument.substr(std::min(argument.size(), argument.find_first_not_of(" \t")));
  std::string key;
  for (const auto& [name, shown] : config_.ShownSettings()) {
    const bool begins = text.size() >= name.size() && EqualIgnoringCase(text.substr(0, name.size()), name) &&
                        (text.size() == name.size() || IsBlank(text[name.size()]));
    if (begins && name.size() > key.size()) key = name;
  }
  if (key.empty()) return false;
  const std::string value = text.size() > key.size() ? text.substr(key.size() + 1) : std::string();
  switch (config_.Set(key, value)) {
    case TConfigurationDialog::TSetResult::Done: return true;
    case TConfigurationDialog::TSetResult::TooLong:
      console_.ShowError(key + " is too long.");
      return true;
    case TConfigurationDialog::TSetResult::NotEditable:
      console_.ShowError(key + " cannot be edited now.");
      return true;
    case TConfigurationDialog::TSetResult::UnknownKey:
    case TConfigurationDialog::TSetResult::BadValue: break;
  }
  return false;
}

bool TConsoleCommands::ConfigList(bool add, const std::string& argument) {
  const auto [word, entry] = SplitWord(argument);
  const std::string name = LowerAscii(word);
  if (const std::optional<TList> list = SortedListNamed(name)) {
    if (add) {
      config_.EntryField(*list) = entry;
      config_.AddListEntry(*list);
      return true;
    }
    const std::vector<std::string>& entries = config_.Entries(*list).Entries();
    const auto found = std::find(entries.begin(), entries.end(), entry);
    config_.Selection(*list) = found == entries.end() ? -1 : static_cast<int>(found - entries.begin());
    config_.RemoveListEntry(*list);
    return true;
  }
  if (name != "ip") return false;
  if (add) {
    // One of the machine's addresses is added as a selection (never twice);
    // anything else as a mask, exactly as typed.
    const auto found = std::find(config_.AvailableIps.begin(), config_.AvailableIps.end(), entry);
    if (found != config_.AvailableIps.end()) {
      config_.AvailableSelection = {static_cast<std::size_t>(found - config_.AvailableIps.begin())};
      config_.AddSelection();
    } else {
      config_.MaskText = entry;
      config_.AddMask();
    }
    return true;
  }
  const std::vector<std::string>& selectable = config_.SelectableIps();
  config_.SelectableSelection.clear();
  for (std::size_t i = 0; i < selectable.size(); ++i) {
    if (selectable[i] == entry) config_.SelectableSelection.insert(i);
  }
  config_.RemoveSelection();
  return true;
}

void TConsoleCommands::ConfigShow() {
  for (const auto& [name, shown] : config_.ShownSettings()) console_.Print(name + "=" + shown);
  const auto print_all = [this](const std::string& label, const std::vector<std::string>& entries) {
    for (const std::string& entry : entries) console_.Print(label + entry);
  };
  print_all("ban list: ", config_.Entries(TList::Ban).Entries());
  print_all("access list: ", config_.Entries(TList::Access).Entries());
  print_all("destination list: ", config_.Entries(TList::Destination).Entries());
  print_all("ip list: ", config_.SelectableIps());
  print_all("available ip: ", config_.AvailableIps);
  print_all("welcome: ", config_.WelcomeText());
}

}  // namespace kelvox
