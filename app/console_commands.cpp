#include "app/console_commands.h"

#include <algorithm>

#include "app/command_text.h"
#include "base/decimal.h"
#include "base/web_site.h"
#include "console/figures.h"
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

// The commands in the order help lists them. Each row carries its help lines
// (none for a command described on another's line), either an action that
// takes no argument or a handler of its argument, and the consoles it is for.
struct TConsoleCommands::TRow {
  enum class TWhere { Every, Own, Attached };
  const char* Keyword;
  std::vector<const char*> Help;
  void (TConsoleCommands::*Action)() = nullptr;
  Refusal (TConsoleCommands::*Handler)(const std::string& argument) = nullptr;
  TWhere Where = TWhere::Every;

  bool For(bool attached) const { return Where == TWhere::Every || (Where == TWhere::Attached) == attached; }
};

const std::vector<TConsoleCommands::TRow>& TConsoleCommands::Rows() {
  static const std::vector<TRow> rows = {
      {"start", {"start                       start listening"}, &TConsoleCommands::Start},
      {"stop", {"stop                        stop listening, disconnect every user"}, &TConsoleCommands::Stop},
      {"quit", {"quit                        stop and exit; asks when users are connected"}, &TConsoleCommands::Quit,
       nullptr, TRow::TWhere::Own},
      {"quit", {"quit                        detach this console; the program goes on serving"},
       &TConsoleCommands::Detach, nullptr, TRow::TWhere::Attached},
      {"shutdown", {"shutdown                    stop and exit; asks when users are connected"},
       &TConsoleCommands::Quit, nullptr, TRow::TWhere::Attached},
      {"grid", {"grid                        print the grid of users"}, &TConsoleCommands::Grid},
      {"status", {"status                      print the status bar, user count, uptime and tray hint"},
       &TConsoleCommands::Status},
      {"stats", {"stats                       print the counts: users, links, lines, refusals, failures, memory"},
       &TConsoleCommands::Stats},
      {"message",
       {"message TAG TEXT            send TEXT to the user with that tag",
        "message all TEXT            send TEXT to every user"},
       nullptr, &TConsoleCommands::Message},
      {"kill", {"kill TAG                    kick the user with that tag"}, nullptr, &TConsoleCommands::Kill},
      {"ban", {"ban TAG                     ban the user's address and kick the user"}, nullptr,
       &TConsoleCommands::Ban},
      {"config",
       {"config open                 open the settings (reload them) and print them",
        "config show                 print every setting and list",
        "config set KEY VALUE        set a setting by its INI key, e.g. config set Port 6000;",
        "                            also Admin password confirmation, Password confirmation",
        "config add LIST ENTRY       add to a list: ban, access, destination, ip",
        "config remove LIST ENTRY    remove from a list: ban, access, destination, ip",
        "config ok, config cancel    confirm (check, save) or cancel the settings"},
       nullptr, &TConsoleCommands::Config},
      {"update", {"update                      check for a newer release"}, &TConsoleCommands::Update},
      {"about", {"about, website, help        about Kelvox, its web site, this list"}, &TConsoleCommands::About},
      {"website", {}, &TConsoleCommands::Website},
      {"help", {}, &TConsoleCommands::Help},
  };
  return rows;
}

const std::vector<std::string>& TConsoleCommands::HelpLines(bool attached) {
  const auto lines_for = [](bool at_attached) {
    std::vector<std::string> lines;
    for (const TRow& row : Rows()) {
      if (row.For(at_attached)) lines.insert(lines.end(), row.Help.begin(), row.Help.end());
    }
    return lines;
  };
  static const std::vector<std::string> own = lines_for(false);
  static const std::vector<std::string> attached_help = lines_for(true);
  return attached ? attached_help : own;
}

TConsoleCommands::TConsoleCommands(TBouncer& bouncer, TTextConsole& console, TMessageDialog& dialog,
                                   TConfigurationDialog& config, TUpdateCheck& update, const TFigures& figures)
    : bouncer_(bouncer), console_(console), dialog_(dialog), config_(config), update_(update), figures_(figures) {}

void TConsoleCommands::Start() { bouncer_.Button1Click(); }
void TConsoleCommands::Stop() { bouncer_.Button3Click(); }
void TConsoleCommands::Quit() { bouncer_.Quitter1Click(); }
void TConsoleCommands::Detach() {
  if (DetachConsole) DetachConsole();
}
void TConsoleCommands::Grid() { console_.PrintGrid(); }
void TConsoleCommands::Update() { update_.Recherchedemisejour1Click(); }
void TConsoleCommands::About() { console_.Print(TrimControls(GreetingBanner())); }

void TConsoleCommands::Help() {
  for (const std::string& line : HelpLines(console_.TypedAttached())) console_.Print(line);
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
  const std::vector<TRow>& rows = Rows();
  const bool attached = console_.TypedAttached();
  const auto row = std::find_if(rows.begin(), rows.end(),
                                [&](const TRow& r) { return keyword == r.Keyword && r.For(attached); });
  if (row == rows.end()) return console_.ShowError("unknown command");
  if (row->Handler != nullptr) {
    if (const Refusal refusal = (this->*row->Handler)(argument)) console_.ShowError(*refusal);
  } else if (!argument.empty()) {
    console_.ShowError(keyword + " takes no argument");
  } else {
    (this->*row->Action)();
  }
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

void TConsoleCommands::Stats() {
  for (const std::string& line : StatsLines(figures_.Take())) console_.Print(line);
}

void TConsoleCommands::Website() {
  console_.Print(kWebSite);
  if (ShellOpen) ShellOpen(std::string(kWebSite));
}

}  // namespace kelvox
