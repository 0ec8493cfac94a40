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

constexpr const char* kTagUsage = "a number from the grid";

// A tag as the operator types it: decimal digits only, blanks around them.
int ParseTag(const std::string& text) { return ParseDecimal(TrimBlanks(text)); }

}  // namespace

const std::vector<std::string>& ConsoleCommandHelp() {
  static const std::vector<std::string> help = {
      "start                       start listening",
      "stop                        stop listening, disconnect every user",
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
  return help;
}

TConsoleCommands::TConsoleCommands(TBouncer& bouncer, TTextConsole& console, TMessageDialog& dialog,
                                   TConfigurationDialog& config, TUpdateCheck& update)
    : bouncer_(bouncer), console_(console), dialog_(dialog), config_(config), update_(update) {
  // A command that takes no argument.
  const auto plain = [](const std::string& name, std::function<void()> action) -> Handler {
    return [name, action](const std::string& argument) -> Refusal {
      if (!argument.empty()) return name + " takes no argument";
      action();
      return std::nullopt;
    };
  };
  commands_ = {
      {"start", plain("start", [this] { bouncer_.Button1Click(); })},
      {"stop", plain("stop", [this] { bouncer_.Button3Click(); })},
      {"quit", plain("quit", [this] { bouncer_.Quitter1Click(); })},
      {"grid", plain("grid", [this] { console_.PrintGrid(); })},
      {"status", plain("status", [this] { Status(); })},
      {"help", plain("help", [this] {
         for (const std::string& line : ConsoleCommandHelp()) console_.Print(line);
       })},
      {"about", plain("about", [this] { console_.Print(TrimControls(GreetingBanner())); })},
      {"website", plain("website", [this] { Website(); })},
      {"update", plain("update", [this] { update_.Recherchedemisejour1Click(); })},
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
  if (command == commands_.end()) return console_.ShowError("unknown command");
  if (const Refusal refusal = command->second(argument)) console_.ShowError(*refusal);
}

TConsoleCommands::Refusal TConsoleCommands::Kill(const std::string& argument) {
  const int tag = ParseTag(argument);
  if (tag < 0) return std::string("kill needs a tag, ") + kTagUsage + ": kill TAG";
  console_.SelectRow(tag);
  bouncer_.Kick(console_.SelectedRow(), true);
  return std::nullopt;
}

TConsoleCommands::Refusal TConsoleCommands::Ban(const std::string& argument) {
  const int tag = ParseTag(argument);
  if (tag < 0) return std::string("ban needs a tag, ") + kTagUsage + ": ban TAG";
  console_.SelectRow(tag);
  bouncer_.Ban(console_.SelectedRow());
  return std::nullopt;
}

TConsoleCommands::Refusal TConsoleCommands::Message(const std::string& whole) {
  const std::string argument = TrimBlanks(whole);
  const std::size_t space = argument.find_first_of(" \t");
  const std::string target = argument.substr(0, space);
  const std::string text = space == std::string::npos ? "" : argument.substr(argument.find_first_not_of(" \t", space));
  const bool to_all = LowerAscii(target) == "all";
  if (!to_all && ParseDecimal(target) < 0) {
    return std::string("message needs a tag, ") + kTagUsage + ", or all: message TAG TEXT, message all TEXT";
  }
  if (text.empty()) return "message needs a text after " + target + ": message " + target + " TEXT";
  // The tag goes to the dialog as typed: the dialog itself answers "Invalid Tag".
  const std::string identity = to_all ? "" : console_.GetCell(0, ParseDecimal(target));
  dialog_.SendToAll = to_all;
  dialog_.TagField = to_all ? "" : target;
  dialog_.Visible = true;
  dialog_.Lines = {text};
  const int sent = dialog_.SendClick();
  if (to_all) {
    if (sent == 0) return "no user to send to";
    console_.Print("sent to " + std::to_string(sent) + (sent == 1 ? " user: " : " users: ") + text);
  } else if (sent > 0) {
    const std::string tag = std::to_string(ParseDecimal(target));
    console_.Print("sent to " + (identity.empty() ? "tag " + tag : identity + " (tag " + tag + ")") + ": " + text);
  }
  return std::nullopt;
}

void TConsoleCommands::Status() {
  console_.Print("status 0: " + console_.StatusText(0));
  console_.Print("status 1: " + console_.StatusText(1));
  console_.Print("users: " + console_.UserCount());
  console_.Print("uptime: " + console_.Uptime());
  console_.Print("tray: " + console_.TrayHint());
}

void TConsoleCommands::Website() {
  console_.Print(kWebSite);
  if (ShellOpen) ShellOpen(std::string(kWebSite));
}

}  // namespace kelvox
