#include "engine/event_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/escape.h"
#include "config/settings.h"

namespace kelvox {

TEventLog::TEventLog(const TSettings& settings) : settings_(settings) {}

TEventLog::~TEventLog() { CloseFile(); }

void TEventLog::CloseFile() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  path_.clear();
}

int TEventLog::FileFor(const std::string& path) {
  if (fd_ >= 0 && path == path_) {
    // Still the file at that path? It may have been moved or deleted meanwhile.
    struct stat held {}, named {};
    if (::fstat(fd_, &held) == 0 && ::stat(path.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
        held.st_ino == named.st_ino) {
      return fd_;
    }
  }
  CloseFile();
  fd_ = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd_ >= 0) path_ = path;
  return fd_;
}

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
  if (!settings_.Log) return CloseFile();
  const TDateTime now = Clock();
  const std::string path = LogFilePath(settings_.Logfile, settings_.LogDay, ShortDateText(now));
  if (path.empty()) return;
  const int fd = FileFor(path);
  if (fd < 0) return;  // the event goes unlogged; the caller carries on
  std::string line = "[" + DateTimeText(now) + "] ";
  if (row != -1) line += (Identity ? Identity(row) : std::string()) + " ";
  line = EscapeControls(line + text) + "\r\n";
  // One write per line keeps lines whole and is on disk at once; a failed or
  // short write is not reported, like a failed open.
  [[maybe_unused]] const ssize_t written = ::write(fd, line.data(), line.size());
}

}  // namespace kelvox
