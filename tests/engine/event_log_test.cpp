#include "engine/event_log.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "config/settings.h"
#include "tests/support/temp_dir.h"

namespace kelvox {
namespace {

using test::TTempDir;

class EventLogTest : public ::testing::Test {
 protected:
  EventLogTest() {
    ::setenv("LC_ALL", "C", 1);
    settings.Log = true;
    settings.Logfile = dir.File("log.txt");
    log.Clock = [this] { return clock; };
    log.Identity = [this](int row) { return row == 1 ? identity : std::string(); };
  }

  bool DirIsEmpty() const { return std::filesystem::is_empty(dir.Path()); }

  TTempDir dir;
  TSettings settings{dir.Path()};
  TEventLog log{settings};
  std::string identity;
  TDateTime clock = EncodeDateTime({2026, 12, 6, 14, 5, 9, 0});
};

TEST_F(EventLogTest, LogOffTouchesNothing) {
  settings.Log = false;
  settings.LogDay = true;
  log.LogEvent(-1, "10.0.0.5 Connected to Kelvox");
  EXPECT_TRUE(DirIsEmpty());
}

TEST_F(EventLogTest, LinesAreAppendedWithDateAndIdentity) {
  identity = "joe@10.0.0.5";
  log.LogEvent(-1, "10.0.0.5 Connected to Kelvox");
  EXPECT_EQ(dir.Read("log.txt"), "[06/12/2026 14:05:09] 10.0.0.5 Connected to Kelvox\r\n");
  log.LogEvent(1, "Connected to irc.example.net:6667");
  clock = EncodeDateTime({2026, 12, 7, 0, 0, 0, 0});
  log.LogEvent(1, "Disconnected");
  EXPECT_EQ(dir.Read("log.txt"),
            "[06/12/2026 14:05:09] 10.0.0.5 Connected to Kelvox\r\n"
            "[06/12/2026 14:05:09] joe@10.0.0.5 Connected to irc.example.net:6667\r\n"
            "[07/12/2026] joe@10.0.0.5 Disconnected\r\n");
}

TEST_F(EventLogTest, EmptyIdentityLeavesTwoSpaces) {
  log.LogEvent(1, "Disconnected");
  EXPECT_EQ(dir.Read("log.txt"), "[06/12/2026 14:05:09]  Disconnected\r\n");
}

TEST_F(EventLogTest, DeletedOrMovedFileIsCreatedAgain) {
  log.LogEvent(-1, "one");
  std::filesystem::remove(dir.File("log.txt"));
  log.LogEvent(-1, "two");
  EXPECT_EQ(dir.Read("log.txt"), "[06/12/2026 14:05:09] two\r\n");
  std::filesystem::rename(dir.File("log.txt"), dir.File("log.1"));
  log.LogEvent(-1, "three");
  EXPECT_EQ(dir.Read("log.txt"), "[06/12/2026 14:05:09] three\r\n");
}

// A nick holding terminal escapes reaches the log as the console shows it.
TEST_F(EventLogTest, ControlBytesAreEscaped) {
  identity = "\x1b]0;owned\x07\x1b[2J@10.0.0.5";
  log.LogEvent(1, "Connected to a\\b\r\n");
  EXPECT_EQ(dir.Read("log.txt"),
            "[06/12/2026 14:05:09] \\x1b]0;owned\\x07\\x1b[2J@10.0.0.5 Connected to a\\\\b\\x0d\\x0a\r\n");
}

TEST_F(EventLogTest, DayFilesFollowTheDate) {
  settings.LogDay = true;
  log.LogEvent(-1, "one");
  clock = EncodeDateTime({2026, 12, 7, 0, 0, 1, 0});
  log.LogEvent(-1, "two");
  EXPECT_EQ(dir.Read("log.06-12-2026.txt"), "[06/12/2026 14:05:09] one\r\n");
  EXPECT_EQ(dir.Read("log.07-12-2026.txt"), "[07/12/2026 00:00:01] two\r\n");
  EXPECT_FALSE(dir.Exists("log.txt"));
}

TEST_F(EventLogTest, UnwritablePlacesAreSilent) {
  for (const std::string& logfile : {dir.File("missing/log.txt"), std::string(), dir.Path()}) {
    settings.Logfile = logfile;
    for (const bool log_day : {false, true}) {
      settings.LogDay = log_day;
      log.LogEvent(-1, "lost");
    }
  }
  EXPECT_TRUE(DirIsEmpty());
}

TEST(LogFilePath, DayNames) {
  const struct {
    std::string logfile;
    bool log_day;
    std::string path;
  } rows[] = {
      {"/var/log/log.txt", false, "/var/log/log.txt"},
      {"/var/log/log.txt", true, "/var/log/log.06-12-2026.txt"},
      {"/var/log/my.log.txt", true, "/var/log/my.06-12-2026.log.txt"},
      {"/var/log/log", true, "/var/log/log.06-12-2026"},
      {"/var/log.d/log", true, "/var/log.d/log.06-12-2026"},
      {"log.txt", true, "log.06-12-2026.txt"},
      {".hidden", true, ".06-12-2026.hidden"},
      {"", false, ""},
      {"", true, ""},
      {"/var/log/", true, ""},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(LogFilePath(row.logfile, row.log_day, "06/12/2026"), row.path) << row.logfile;
  }
}

}  // namespace
}  // namespace kelvox
