// The config commands of the text console: the settings dialog driven by lines.
#include <algorithm>
#include <optional>
#include <set>

#include "app/command_text.h"
#include "app/console_commands.h"
#include "config/sorted_list.h"
#include "console/settings_rules.h"
#include "console/text_console.h"

namespace kelvox {

namespace {

using TList = TConfigurationDialog::TList;
using TSetResult = TConfigurationDialog::TSetResult;

constexpr const char* kSubcommands = "open, show, set, add, remove, ok, cancel";
constexpr const char* kListNames = "ban, access, destination, ip";

// The lists that `config add` and `config remove` name; "ip" is the
// selectable-address list.
std::optional<TList> SortedListNamed(const std::string& name) {
  if (name == "ban") return TList::Ban;
  if (name == "access") return TList::Access;
  if (name == "destination") return TList::Destination;
  return std::nullopt;
}

// The list file keys, which name no setting, and the list each one is edited as.
std::optional<std::string> ListOfFileKey(const std::string& key) {
  if (EqualIgnoringCase(key, "Banlist")) return "ban";
  if (EqualIgnoringCase(key, "Acceslist")) return "access";
  if (EqualIgnoringCase(key, "ServList")) return "destination";
  return std::nullopt;
}

// Where the console lists the keys, for a name that is none of them.
constexpr const char* kKeysCure = " (config show lists the keys)";

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

}  // namespace

TConsoleCommands::Refusal TConsoleCommands::Config(const std::string& argument) {
  const auto [word, rest] = SplitWord(argument);
  const std::string sub = LowerAscii(word);
  if (sub.empty()) return std::string("config needs one of: ") + kSubcommands;
  if (sub == "set") return ConfigSet(rest);
  if (sub == "add") return ConfigList(true, rest);
  if (sub == "remove") return ConfigList(false, rest);
  const bool known = sub == "open" || sub == "show" || sub == "ok" || sub == "cancel";
  if (!known) return "no config command " + word + ": " + kSubcommands;
  if (!TrimBlanks(rest).empty()) return "config " + sub + " takes no argument";
  if (sub == "open") {
    config_.Open();
    ConfigShow();
  } else if (sub == "show") {
    ConfigShow();
  } else if (sub == "ok") {
    config_.Confirm();
  } else {
    config_.Cancel();
  }
  return std::nullopt;
}

TConsoleCommands::Refusal TConsoleCommands::ConfigSet(const std::string& argument) {
  // Keys hold blanks ("Admin password confirmation"): the longest key that the
  // argument begins with, followed by a blank or the end, is the one meant.
  const std::string text = argument.substr(std::min(argument.size(), argument.find_first_not_of(" \t")));
  if (text.empty()) return "config set needs a key and a value: config set KEY VALUE";
  std::string key;
  for (const auto& [name, shown] : config_.ShownSettings()) {
    const bool begins = text.size() >= name.size() && EqualIgnoringCase(text.substr(0, name.size()), name) &&
                        (text.size() == name.size() || IsBlank(text[name.size()]));
    if (begins && name.size() > key.size()) key = name;
  }
  if (key.empty()) {
    const std::string word = SplitWord(text).first;
    if (const std::optional<std::string> list = ListOfFileKey(word)) {
      return word + " is a list: config add " + *list + " ENTRY, config remove " + *list + " ENTRY";
    }
    return TConfigurationDialog::Refusal(word, TSetResult::UnknownKey) + kKeysCure;
  }
  const std::string value = text.size() > key.size() ? text.substr(key.size() + 1) : std::string();
  const TSetResult result = config_.Set(key, value);
  if (result == TSetResult::Done) return std::nullopt;
  std::string refusal = TConfigurationDialog::Refusal(key, result);
  if (result == TSetResult::UnknownKey) refusal += kKeysCure;
  if (result == TSetResult::NotEditable) {
    refusal += " (config set " + std::string(TConfigurationDialog::GateOf(key)) + " yes)";
  }
  return refusal;
}

TConsoleCommands::Refusal TConsoleCommands::ConfigList(bool add, const std::string& argument) {
  const auto [word, entry] = SplitWord(argument);
  const std::string name = LowerAscii(word);
  const std::string command = add ? "config add" : "config remove";
  if (name.empty()) {
    return command + " needs a list and an entry: " + command + " LIST ENTRY (lists: " + kListNames + ")";
  }
  if (const std::optional<TList> list = SortedListNamed(name)) {
    if (entry.empty()) return command + " needs an entry: " + command + " " + name + " ENTRY";
    if (add) {
      config_.EntryField(*list) = entry;
      config_.AddListEntry(*list);
      return std::nullopt;
    }
    const std::vector<std::string>& entries = config_.Entries(*list).Entries();
    const auto found = std::find(entries.begin(), entries.end(), entry);
    if (found == entries.end()) return "the " + name + " list has no entry " + Quoted(entry);
    config_.Selection(*list) = static_cast<int>(found - entries.begin());
    config_.RemoveListEntry(*list);
    return std::nullopt;
  }
  if (name != "ip") return "no list named " + word + ": " + kListNames;
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
    return std::nullopt;
  }
  const std::vector<std::string>& selectable = config_.SelectableIps();
  config_.SelectableSelection.clear();
  for (std::size_t i = 0; i < selectable.size(); ++i) {
    if (selectable[i] == entry) config_.SelectableSelection.insert(i);
  }
  if (config_.SelectableSelection.empty()) return "the ip list has no entry " + Quoted(entry);
  // The first entry is the list's label: it stays.
  const bool label_only = config_.SelectableSelection == std::set<std::size_t>{0};
  config_.RemoveSelection();
  if (label_only) return Quoted(entry) + " is the ip list's first entry, which stays";
  return std::nullopt;
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
