// The kelvox program as one object: the core with the text console over it,
// the console's commands and message dialog, standard input, and the control
// socket where more consoles attach. Everything is taken down once the loop
// has stopped, so that nothing runs while it goes.
#pragma once

#include <deque>
#include <optional>
#include <ostream>
#include <string>

#include "app/console_commands.h"
#include "app/core.h"
#include "app/stdin_reader.h"
#include "console/control_socket.h"
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
  /// written back; the first showing; AutoStart or Start; the control socket;
  /// the start notes), serves until DIE, quit or a stop signal, then lets the
  /// closed connections deliver their last bytes. Returns the exit status.
  int Run();

  /// Lines a console may have waiting behind another's question; one more
  /// drops an attached console.
  static constexpr std::size_t kHeldLimit = 1000;

 private:
  /// A line typed at a console, or the end of its input (none).
  struct TTyped {
    TConsoleSink* From;
    TAlive::TWatch Watch;  // an attached console may go before its line runs
    std::optional<std::string> Line;
  };

  /// Takes a line typed at `from`, in the order typed; it runs at once unless
  /// a question waits for another console, as a modal box would.
  void Typed(TConsoleSink& from, std::optional<std::string> line);
  /// Runs the first line that may run now, each a task of its own, so that a
  /// question asked under one line is answered by its console's next.
  void RunNext();
  void Run(TConsoleSink& from, const std::optional<std::string>& line);
  /// Listens for consoles; a "note: " text when none can attach.
  std::string OpenControl();
  /// The "note: " lines that tell the operator, after the start output, where
  /// the settings are, whether and where users can connect, and what to do next.
  void PrintStartNotes(bool port_changed, const std::string& control_note);

  // In the order of their making; they are taken down the other way round.
  TCore core_;
  TTextConsole console_;
  TMessageDialog dialog_;
  TConsoleCommands commands_;
  TStdinReader input_;
  TControlSocket control_;
  std::deque<TTyped> typed_;  // not yet run, in the order typed
  const bool start_;          // listen at start whatever AutoStart says
};

}  // namespace kelvox
