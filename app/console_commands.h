// The text console's commands: one line of standard input each, the keyword's
// letter case ignored ("start", "kill 2", "message all Back in 5 minutes",
// "config set Port 6000").
#pragma once

#include <functional>
#include <map>
#include <string>

namespace kelvox {

class TBouncer;
class TConfigurationDialog;
class TMessageDialog;
class TTextConsole;
class TUpdateCheck;

class TConsoleCommands {
 public:
  TConsoleCommands(TBouncer& bouncer, TTextConsole& console, TMessageDialog& dialog, TConfigurationDialog& config,
                   TUpdateCheck& update);

  /// Opens the web site for the website command. Unset, the address is only printed.
  std::function<void(const std::string& target)> ShellOpen;

  /// Runs one command line; an unknown one prints "error: unknown command".
  /// Only the line end is cut from the line: an entry or a value at its end
  /// keeps its blanks.
  void Execute(const std::string& line);

 private:
  using Handler = std::function<bool(const std::string& argument)>;

  // Each handler returns false when its argument does not fit the command.
  bool Kill(const std::string& argument);
  bool Ban(const std::string& argument);
  bool Message(const std::string& argument);
  bool Status();
  bool Help();
  bool Website();
  bool Config(const std::string& argument);
  bool ConfigSet(const std::string& argument);
  bool ConfigList(bool add, const std::string& argument);
  void ConfigShow();

  TBouncer& bouncer_;
  TTextConsole& console_;
  TMessageDialog& dialog_;
  TConfigurationDialog& config_;
  TUpdateCheck& update_;
  std::map<std::string, Handler> commands_;
};

}  // namespace kelvox
