#include "console/text_console.h"

#include <gtest/gtest.h>

#include <sstream>

namespace kelvox {
namespace {

TEST(TextConsoleTest, EscapesEveryControlByte) {
  EXPECT_EQ(TTextConsole::Escape("joe@10.0.0.1"), "joe@10.0.0.1");
  EXPECT_EQ(TTextConsole::Escape("\x1b[2Jevil\r\n"), "\\x1b[2Jevil\\x0d\\x0a");
  EXPECT_EQ(TTextConsole::Escape(std::string("a\0b\x7f\\", 5)), "a\\x00b\\x7f\\\\");
  EXPECT_EQ(TTextConsole::Escape("caf\xc3\xa9"), "caf\xc3\xa9");
}

TEST(TextConsoleTest, PrintsOneLinePerVisibleChange) {
  TEventLoop loop;
  std::ostringstream out;
  TTextConsole console(loop, out);
  console.SetStatusText(1, "OFFLINE");  // unchanged: nothing to show
  console.SetStatusText(0, "Listen on port: 50");
  console.SetTrayHint("Kelvox - ONLINE (0 users)");
  console.SetUserCount("1");
  console.PlayBeep();
  console.ShowError("Invalid Tag");
  console.SetRowCount(3);
  console.SetCell(0, 1, "bad\tnick\x07@1.2.3.4");
  console.PrintGrid();
  EXPECT_EQ(out.str(),
            "status 0: Listen on port: 50\n"
            "tray: Kelvox - ONLINE (0 users)\n"
            "users: 1\n"
            "beep\n"
            "error: Invalid Tag\n"
            "\t\t\t\t\n"
            "bad\\x09nick\\x07@1.2.3.4\t\t\t\t\n"
            "\t\t\t\t\n");
}

TEST(TextConsoleTest, UpdateWindowTextsAreUpdateLines) {
  TEventLoop loop;
  std::ostringstream out;
  TTextConsole console(loop, out);
  EXPECT_FALSE(console.UpdateWindowVisible());
  console.SetUpdateText("Searching...", "");
  console.SetUpdateText("Searching...", "");  // shown again: brought up again
  console.SetUpdateText("You ve got the last release.", "http://www.kelvox.net/");
  EXPECT_EQ(out.str(),
            "update: Searching...\n"
            "update: Searching...\n"
            "update: You ve got the last release.\n"
            "update: http://www.kelvox.net/\n");
  EXPECT_TRUE(console.UpdateWindowVisible());
  EXPECT_EQ(console.UpdateText(), "You ve got the last release.");
  EXPECT_EQ(console.UpdateLink(), "http://www.kelvox.net/");
}

// The question waits, the loop running, for the next input line.
TEST(TextConsoleTest, QuestionIsAnsweredByTheNextLine) {
  TEventLoop loop;
  std::ostringstream out;
  TTextConsole console(loop, out);
  loop.Post([&] { EXPECT_TRUE(console.TakeAnswer(" OK ")); });
  EXPECT_TRUE(console.AskOkCancel("Are you sure?", "Confirm"));
  loop.Post([&] { console.TakeAnswer("yes"); });
  EXPECT_FALSE(console.AskOkCancel("Really?", "Confirm"));
  EXPECT_EQ(out.str(), "ask: Are you sure?\nask: Really?\n");
  EXPECT_FALSE(console.TakeAnswer("start"));  // no question: a command

  loop.Post([&] { console.InputEnded(); });
  EXPECT_FALSE(console.AskOkCancel("Anyone?", "Confirm"));
  EXPECT_FALSE(console.AskOkCancel("Still?", "Confirm"));  // no input will come: not asked
}

// A stop signal while the question waits: the program goes on ending.
TEST(TextConsoleTest, QuestionGivesWayWhenTheProgramIsToldToEnd) {
  TEventLoop loop;
  std::ostringstream out;
  TTextConsole console(loop, out);
  loop.Post([&] { loop.Quit(); });
  EXPECT_FALSE(console.AskOkCancel("Stopping?", "Confirm"));
  EXPECT_FALSE(console.TakeAnswer("ok"));  // the question is gone: a command
}

}  // namespace
}  // namespace kelvox
