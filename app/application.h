// The kelvox program as one object. It owns the event loop, the settings, the
// text console, the transport and the bouncer, the dialogs, the console
// commands, standard input and the signals, and ends them in one order: the loop
// stops first, so that nothing runs while they are taken down.
#pragma once

#include <chrono>
#include <ostream>
#include <string>

#include "app/console_commands.h"
#include "app/signals.h"
#include "app/stdin_reader.h"
#include "config/settings.h"
#include "console/settings_rules.h"
#include "console/startup_entry.h"
#include "console/text_console.h"
#include "console/update_check.h"
#include "engine/bouncer.h"
#include "engine/message_dialog.h"
#include "engine/socket_transport.h"
#include "net/event_loop.h"

namespace kelvox {

/// The longest the users' last notices may take to leave once the bouncer has
/// stopped; a second stop signal cuts it short.
inline constexpr std::chrono::seconds kShutdownLimit{10};

/// Once the bouncer has stopped: runs the loop until the users' departures and
/// the closed connections' last bytes are done, at most kShutdownLimit, or
/// until `hurry` turns true (a second stop signal).
void FinishDepartures(TEventLoop& loop, const TBouncer& bouncer, const bool& hurry);

/// SIGHUP: Config.ini and the list files are read again, as "config open"
/// reads them, and are in force at once; nobody is dropped. The listener keeps
/// its port until the operator restarts it, as after the settings dialog, and
/// a new port in the file says so on the status bar.
void ReloadSettings(TConfigurationDialog& config, const TSettings& settings, const TBouncer& bouncer,
                    TConsole& console);

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
  void OnSignal(int signo);
  void OnInput(const std::string& line);
  /// SIGHUP: ReloadSettings, told on the console.
  void Reload();
  /// The "note: " lines that tell the operator, after the start output, where
  /// the settings are, whether and where users can connect, and what to do next.
  void PrintStartNotes(bool port_changed);

  // In the order of their making; they are taken down the other way round.
  TEventLoop loop_;
  TSignals signals_;
  TTextConsole console_;
  TSettings settings_;
  TStartupEntry startup_;
  TSocketTransport transport_;
  TBouncer bouncer_;
  TMessageDialog dialog_;
  TConfigurationDialog config_;
  TUpdateCheck update_;
  TConsoleCommands commands_;
  TStdinReader input_;
  const bool start_;       // listen at start whatever AutoStart says
  bool stopping_ = false;  // the bouncer has stopped: the program is ending
  bool hurry_ = false;     // a second stop signal: end without waiting
};

}  // namespace kelvox
