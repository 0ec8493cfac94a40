// The event log: one dated line per noteworthy event (a user admitted without a
// password, a server link connected, a user gone), appended to the file named by
// the Logfile setting while Log is on, optionally one file per day.
#pragma once

#include <functional>
#include <string>

#include "base/date_time.h"

namespace kelvox {

class TSettings;

class TEventLog {
 public:
  /// Log, Logfile and LogDay are read from `settings` at every event.
  explicit TEventLog(const TSettings& settings);

  /// The current local date-time; tests fix it.
  std::function<TDateTime()> Clock = Now;
  /// The identity of the user in a grid row (what the grid shows in column 0).
  std::function<std::string(int row)> Identity;

  /// Closes the file.
  ~TEventLog();
  TEventLog(const TEventLog&) = delete;
  TEventLog& operator=(const TEventLog&) = delete;

  /// Appends "[<date-time>] <identity of row> <text>" with CR LF, or, for row -1,
  /// "[<date-time>] <text>", in one write, control bytes escaped as the console
  /// shows them (a nick cannot drive the terminal of whoever reads the log). The
  /// file stays open between events and is opened anew when the day's name, the
  /// path or the file at the path changes, so it may be moved or deleted while
  /// the bouncer runs. Writes nothing while Log is off, and nothing, silently,
  /// when the file cannot be opened or created or Logfile names no file.
  void LogEvent(int row, const std::string& text);

 private:
  /// The descriptor for the path, opened when it is not the one held.
  int FileFor(const std::string& path);
  void CloseFile();

  const TSettings& settings_;
  int fd_ = -1;
  std::string path_;  // the path fd_ was opened at
};

/// The file a day's events go to: with `log_day` off the path itself; with it on,
/// the file name (the part after the last '/') gets the date, its "/" made "-":
/// "log.txt" gives "log.06-12-2026.txt", "my.log.txt" "my.06-12-2026.log.txt" and
/// "log" "log.06-12-2026". Empty when the path names no file.
std::string LogFilePath(const std::string& logfile, bool log_day, const std::string& short_date);

}  // namespace kelvox
