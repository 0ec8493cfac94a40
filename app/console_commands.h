// The text console's commands: one line of standard input each, the keyword's
// letter case ignored ("start", "kill 2", "message all Back in 5 minutes").
#pragma once

#include <functional>
#include <map>
#include <string>

namespace kelvox {

class TBouncer;
class TMessageDialog;
class TTextConsole;

class TConsoleCommands {
 public:
  TConsoleCommands(TBouncer& bouncer, TTextConsole& console, TMessageDialog& dialog);

  /// Runs one command line; an unknown one prints "error: unknown command".
  void Execute(const std::string& line);

 private:
  using Handler = std::function<bool(const std::string& argument)>;

  // Each handler returns false when its argument does not fit the command.
  bool Kill(const std::string& argument);
  bool Ban(const std::string& argument);
  bool Message(const std::string& argument);
  bool Status();
  bool Help();

  TBouncer& bouncer_;
  TTextConsole& console_;
  TMessageDialog& dialog_;
  std::map<std::string, Handler> commands_;
};

}  // namespace kelvox
