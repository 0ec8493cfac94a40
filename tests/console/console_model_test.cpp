#include "console/console_model.h"

#include <gtest/gtest.h>

namespace kelvox {
namespace {

TEST(UptimeTest, Rows) {
  const struct {
    long minutes;
    const char* text;
  } rows[] = {
      {1, "1 min(s)."},
      {59, "59 min(s)."},
      {60, "1 hour(s) "},
      {61, "1 hour(s) 1 min(s)."},
      {120, "2 hour(s) "},
      {1440, "1 day(s) "},
      {1445, "1 day(s) 5 min(s)."},
      {1500, "1 day(s) 1 hour(s) "},
      {3 * 1440 + 23 * 60 + 59, "3 day(s) 23 hour(s) 59 min(s)."},
  };
  for (const auto& row : rows) EXPECT_EQ(TConsoleModel::UptimeText(row.minutes), row.text) << row.minutes;
}

TEST(ConsoleModelTest, StartsOfflineAndCountsUptimeMinutes) {
  TEventLoop loop;
  TConsoleModel console(loop);
  EXPECT_EQ(console.Uptime(), "0 min");
  EXPECT_EQ(console.StatusText(1), "OFFLINE");
  EXPECT_EQ(console.TrayHint(), "Kelvox - OFFLINE");
  EXPECT_EQ(console.UserCount(), "0");
  EXPECT_TRUE(console.StartEnabled());
  EXPECT_FALSE(console.StopEnabled());
  EXPECT_EQ(console.RowCount(), 2);
  for (int i = 0; i < 61; ++i) console.Timer2Timer();
  EXPECT_EQ(console.Uptime(), "1 hour(s) 1 min(s).");
  EXPECT_FALSE(console.AskOkCancel("Are you sure?", "Confirm"));
  console.AskHandler = [](const std::string&, const std::string& caption) { return caption == "Confirm"; };
  EXPECT_TRUE(console.AskOkCancel("Are you sure?", "Confirm"));
}

// The grid operations as compaction uses them: three users, the first leaves.
TEST(ConsoleModelTest, GridRowsRedrawClearAndShrink) {
  TEventLoop loop;
  TConsoleModel console(loop);
  console.SetRowCount(5);
  for (int row = 1; row <= 3; ++row) {
    console.SetCell(0, row, "user" + std::to_string(row) + "@127.0.0.1");
    console.SetCell(4, row, std::to_string(row));
  }
  console.SetCell(0, 1, "user2@127.0.0.1");
  console.SetCell(0, 2, "user3@127.0.0.1");
  console.SetCell(4, 2, "2");
  console.ClearRow(3);
  console.SetRowCount(4);
  EXPECT_EQ(console.RowCount(), 4);
  EXPECT_EQ(console.GetCell(0, 1), "user2@127.0.0.1");
  EXPECT_EQ(console.GetCell(0, 2), "user3@127.0.0.1");
  EXPECT_EQ(console.GetCell(4, 2), "2");
  EXPECT_EQ(console.GetCell(0, 3), "");
  EXPECT_EQ(console.GetCell(0, 9), "");  // outside the grid: empty, never an error
  console.SetCell(0, 9, "lost");
  console.SetCell(7, 1, "lost");
  EXPECT_EQ(console.RowCount(), 4);
}

}  // namespace
}  // namespace kelvox
