// The text console's commands: one line of standard input each, the keyword's
// letter case ignored ("start", "kill 2", "message all Back in 5 minutes",
// "config set Port 6000"). A console attached over the control socket has the
// same commands but two: there, quit detaches that console alone, and shutdown
// ends the program as quit does at its own console.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kelvox {

class TBouncer;
class TConfigurationDialog;
class TFigures;
class TMessageDialog;
class TTextConsole;
class TUpdateCheck;

class TConsoleCommands {
 public:
  TConsoleCommands(TBouncer& bouncer, TTextConsole& console, TMessageDialog& dialog, TConfigurationDialog& config,
                   TUpdateCheck& update, const TFigures& figures);

  /// The console commands with a short description each, one line per entry,
  /// as the help command prints them: the rows' own lines, in their order;
  /// those of an attached console, or of the program's own.
  static const std::vector<std::string>& HelpLines(bool attached = false);

  /// Opens the web site for the website command. Unset, the address is only printed.
  std::function<void(const std::string& target)> ShellOpen;
  /// Detaches the attached console whose quit runs.
  std::function<void()> DetachConsole;

  /// Runs one command line; an unknown keyword prints "error: unknown command",
  /// a known one whose argument does not fit prints what is wrong and how to
  /// write it. Only the line end is cut from the line: an entry or a value at
  /// its end keeps its blanks.
  void Execute(const std::string& line);

 private:
  /// Why a command's argument was refused; nothing when the command ran.
  using Refusal = std::optional<std::string>;
  struct TRow;
  static const std::vector<TRow>& Rows();

  void Start();
  void Stop();
  void Quit();
  void Detach();
  void Grid();
  void Update();
  void About();
  void Help();
  Refusal Kill(const std::string& argument);
  Refusal Ban(const std::string& argument);
  Refusal Message(const std::string& argument);
  void Status();
  void Stats();
  void Website();
  Refusal Config(const std::string& argument);
  Refusal ConfigSet(const std::string& argument);
  Refusal ConfigList(bool add, const std::string& argument);
  void ConfigShow();

  TBouncer& bouncer_;
  TTextConsole& console_;
  TMessageDialog& dialog_;
  TConfigurationDialog& config_;
  TUpdateCheck& update_;
  const TFigures& figures_;
};

}  // namespace kelvox
