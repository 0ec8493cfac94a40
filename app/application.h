// The kelvox program as one object: the core with the text console over it,
// the console's commands and message dialog, and standard input. Everything
// is taken down once the loop has stopped, so that nothing runs while it goes.
#pragma once

#include <ostream>
#include <string>

#include "app/console_commands.h"
#include "app/core.h"
#include "app/stdin_reader.h"
#include "console/text_console.h"
#include "engine/message_dialog.h"

namespace kelvox {

/// What the error about Log on with an empty Logfile adds in the text console.
inline constexpr const char* kConsoleLogfileCure = "config set Logfile PATH";

class TApplication {
 public:
  struct TOptions {
    std::string ConfigDir;  // holds Config.ini, the list files and the default log
    bool Start = false;     // listen at start whatever AutoStart says
  };

  /// Commands come from `input_fd`, the console's lines go to `out`.
  TApplication(const TOptions& options, int input_fd, std::ostream& out);
  TApplication(const TApplication&) = delete;
  TApplication& operator=(const TApplication&) = delete;

  /// Starts (settings read, or made with a port this process can use, and
  /// written back; the first showing; AutoStart or Start; the start notes),
  /// serves until DIE, quit or a stop signal, then lets the closed connections
  /// deliver their last bytes. Returns the exit status.
  int Run();

 private:
  void OnInput(const std::string& line);
  /// The "note: " lines that tell the operator, after the start output, where
  /// the settings are, whether and where users can connect, and what to do next.
  void PrintStartNotes(bool port_changed);

  // In the order of their making; they are taken down the other way round.
  TCore core_;
  TTextConsole console_;
  TMessageDialog dialog_;
  TConsoleCommands commands_;
  TStdinReader input_;
  const bool start_;  // listen at start whatever AutoStart says
};

}  // namespace kelvox
