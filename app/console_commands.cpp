#include "app/console_commands.h"

#include "app/command_text.h"
#include "base/decimal.h"
#include "base/web_site.h"
#include "console/settings_rules.h"
#include "console/text_console.h"
#include "console/update_check.h"
#include "engine/bouncer.h"
#include "engine/message_dialog.h"
#include "net/resolve.h"

namespace kelvox {

namespace {

constexpr const char* kHelp[] = {
    "start                       start listening (F5)",
    "stop                        stop listening, disconnect every user (F6)",
    "quit                        stop and exit; asks when users are connected",
    "grid                        print the grid of users",
    "status                      print the status bar, user count, uptime and tray hint",
    "message TAG TEXT            send TEXT to the user with that tag",
    "message all TEXT            send TEXT to every user",
    "kill TAG                    kick the user with that tag",
    "ban TAG                     ban the user's address and kick the user",
    "config open                 open the settings (reload them) and print them",
    "config show                 print every setting and list",
    "config set KEY VALUE        set a setting by its INI key, e.g. config set Port 6000;",
    "                            also Admin password confirmation, Password confirmation",
    "config add LIST ENTRY       add to a list: ban, access, destination, ip",
    "config remove LIST ENTRY    remove from a list: ban, access, destination, ip",
    "config ok, config cancel    confirm (check, save) or cancel the settings",
    "update                      check for a newer release",
    "about, website, help        about Kelvox, its web site, this list",
};

// A tag as the operator types it: decimal digits only, blanks around them.
int ParseTag(const std::string& text) { return ParseDecimal(TrimBlanks(text)); }

}  // namespace

TConsoleCommands::TConsoleCommands(TBouncer& bouncer, TTextConsole& console, TMessageDialog& dialog,
                                   TConfigurationDialog& config, TUpdateCheck& update)
    : bouncer_(bouncer), console_(console), dialog_(dialog), config_(config), update_(update) {
  const auto plain = [](std::function<void()> action) -> Handler {
    return [action](const std::string& argument) {
      if (!argument.empty()) return false;
      action();
      return true;
    };
  };
  commands_ = {
      {"start", plain([this] { bouncer_.Button1Click(); })},
      {"stop", plain([this] { bouncer_.Button3Click(); })},
      {"quit", plain([this] { bouncer_.Quitter1Click(); })},
      {"grid", plain([this] { console_.PrintGrid(); })},
      {"status", [this](const std::string& a) { return a.empty() && Status(); }},
      {"help", [this](const std::string& a) { return a.empty() && Help(); }},
      {"about", plain([this] { console_.Print(TrimControls(GreetingBanner())); })},
      {"website", [this](const std::string& a) { return a.empty() && Website(); }},
      {"update", plain([this] { update_.Recherchedemisejour1Click(); })},
      {"config", [this](const std::string& a) { return Config(a); }},
      {"kill", [this](const std::string& a) { return Kill(a); }},
      {"ban", [this](const std::string& a) { return Ban(a); }},
      {"message", [this](const std::string& a) { return Message(a); }},
  };
}

void TConsoleCommands::Execute(const std::string& line) {
  std::string text = line;
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
  const std::size_t start = text.find_first_not_of(" \t");
  if (start == std::string::npos) return;  // an empty line asks for nothing
  const std::size_t end = text.find_first_of(" \t", start);
  const std::string keyword = LowerAscii(text.substr(start, end - start));
  std::string argument;
  if (end != std::string::npos) {
    const std::size_t arg_start = text.find_first_not_of(" \t", end);
    if (arg_start != std::string::npos) argument = text.substr(arg_start);
  }
  const auto command = commands_.find(keyword);
  if (command == commands_.end() || !command->second(argument)) console_.ShowError("unknown command");
}

bool TConsoleCommands::Kill(const std::string& argument) {
  const int tag = ParseTag(argument);
  if (tag < 0) return false;
  console_.SelectRow(tag);
  bouncer_.Kick(console_.SelectedRow(), true);
  return true;
}

bool TConsoleCommands::Ban(const std::string& argument) {
  const int tag = ParseTag(argument);
  if (tag < 0) return false;
  console_.SelectRow(tag);
  bouncer_.Ban(console_.SelectedRow());
  return true;
}

bool TConsoleCommands::Message(const std::string& whole) {
  const std::string argument = TrimBlanks(whole);
  const std::size_t space = argument.find_first_of(" \t");
  const std::string target = argument.substr(0, space);
  const std::string text = space == std::string::npos ? "" : argument.substr(argument.find_first_not_of(" \t", space));
  if (target.empty()) return false;
  dialog_.SendToAll = LowerAscii(target) == "all";
  // The tag goes to the dialog as typed: the dialog itself answers "Invalid Tag".
  dialog_.TagField = dialog_.SendToAll ? "" : target;
  dialog_.Visible = true;
  dialog_.Lines = {text};
  dialog_.SendClick();
  return true;
}

bool TConsoleCommands::Status() {
  console_.Print("status 0: " + console_.StatusText(0));
  console_.Print("status 1: " + console_.StatusText(1));
  console_.Print("users: " + console_.UserCount());
  console_.Print("uptime: " + console_.Uptime());
  console_.Print("tray: " + console_.TrayHint());
  return true;
}

bool TConsoleCommands::Website() {
  console_.Print(kWebSite);
  if (ShellOpen) ShellOpen(std::string(kWebSite));
  return true;
}

bool TConsoleCommands::Help() {
  for (const char* line : kHelp) console_.Print(line);
  return true;
}

}  // namespace kelvox
