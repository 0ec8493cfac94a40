#include "engine/event_log.h"

#include <fcntl.h>
#include <unistd.h>

#include "config/settings.h"

namespace kelvox {

TEventLog::TEventLog(const TSettings& settings) : settings_(settings) {}

std::string LogFilePath(const std::string& logfile, bool log_day, const std::string& short_date) {
  const std::size_t slash = logfile.rfind('/');
  const std::string dir = slash == std::string::npos ? "" : logfile.substr(0, slash + 1);
  std::string name = slash == std::string::npos ? logfile : logfile.substr(slash + 1);
  // An empty name would make a day's file "/dir/.<date>" or write to the
  // directory itself: there is no file to log to.
  if (name.empty()) return {};
  if (log_day) {
    std::string date = short_date;
    for (char& c : date) {
      if (c == '/') c = '-';
    }
    const std::size_t dot = name.find('.');
    name = dot == std::string::npos ? name + "." + date : name.substr(0, dot + 1) + date + name.substr(dot);
  }
  return dir + name;
}

void TEventLog::LogEvent(int row, const std::string& text) {
  if (!settings_.Log) return;
  const TDateTime now = Clock();
  const std::string path = LogFilePath(settings_.Logfile, settings_.LogDay, ShortDateText(now));
  if (path.empty()) return;
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return;  // the event goes unlogged; the caller carries on
  std::string line = "[" + DateTimeText(now) + "] ";
  if (row != -1) line += (Identity ? Identity(row) : std::string()) + " ";
  line += text + "\r\n";
  // One write per line keeps lines whole; a failed or short write is not
  // reported, like a failed open.
  [[maybe_unused]] const ssize_t written = ::write(fd, line.data(), line.size());
  ::close(fd);
}

}  // namespace kelvox
