// Kick, ban and the message dialog.
#include <gtest/gtest.h>

#include "engine/message_dialog.h"
#include "tests/engine/bouncer_fixture.h"

namespace kelvox::test {
namespace {

using OperatorActionsTest = BouncerTest;

TEST_F(OperatorActionsTest, KickWithAndWithoutNoticeAndOnAnEmptyRow) {
  Start();
  TRawPeer& first = Connect();
  TRawPeer& second = Connect();
  WaitReceived(second, Greeting());
  bouncer.Kick(3, true);  // the trailing empty row: nothing
  bouncer.Kick(0, true);
  bouncer.Kick(2, false);
  WaitClosed(second);
  EXPECT_EQ(second.Received(), Greeting());
  bouncer.Kick(1, true);
  WaitClosed(first);
  EXPECT_EQ(first.Received(), Greeting() + Notice("   You were kicked by the administrator.\r\n"));
}

// A local user is banned under the machine's own address, which is saved, and
// that machine's next connection is refused.
TEST_F(OperatorActionsTest, BanOfALocalUserSavesTheMachinesAddress) {
  bouncer.Checks().MachineName = [] { return std::string("127.0.0.2"); };
  Start();
  TRawPeer& user = Connect();
  bouncer.Ban(1);
  WaitClosed(user);
  EXPECT_EQ(user.Received(), Greeting() + Notice("   You were kicked by the administrator.\r\n"));
  EXPECT_EQ(dir.Read("Banlist.conf"), "127.0.0.2\r\n");
  TRawPeer& again = Connect();
  WaitClosed(again);
  EXPECT_EQ(again.Received(), Notice("   You are banned, Bye.\r\n"));
}

TEST_F(OperatorActionsTest, MessageDialogChecksAndSends) {
  Start();
  TRawPeer& first = Connect();
  TRawPeer& second = Connect();
  WaitReceived(second, Greeting());
  TMessageDialog dialog(bouncer, console);

  dialog.Open(2);
  dialog.Lines = {"", "text"};
  dialog.SendClick();
  dialog.Lines = {"hello"};
  dialog.TagField = "x2";
  dialog.SendClick();
  dialog.Lines = {"hello"};
  dialog.TagField = "9";
  dialog.SendClick();
  EXPECT_EQ(console.Errors(), (std::vector<std::string>{"Invalid message.", "Invalid Tag", "Invalid Tag"}));
  EXPECT_TRUE(dialog.Visible);
  EXPECT_TRUE(dialog.Lines.empty());
  EXPECT_TRUE(dialog.TagField.empty());

  dialog.Open(2);
  dialog.Lines = {"one", "two", "three"};
  dialog.SendClick();
  EXPECT_FALSE(dialog.Visible);
  WaitReceived(second, Greeting() + Notice("   Administrator notice : one\r\n") +
                           Notice("   Administrator notice : two\r\n") +
                           Notice("   Administrator notice : three\r\n"));

  dialog.SendToAll = true;
  dialog.Lines = {"a", "b"};
  dialog.SendClick();
  WaitReceived(first, Greeting() + Notice("   Administrator notice : a\r\n") +
                          Notice("   Administrator notice : b\r\n"));
}

TEST_F(OperatorActionsTest, SendToAllWithNobodyKeepsTheDialogOpen) {
  TMessageDialog dialog(bouncer, console);
  dialog.Visible = true;
  dialog.SendToAll = true;
  dialog.Lines = {"anyone?"};
  dialog.SendClick();
  EXPECT_TRUE(dialog.Visible);
  EXPECT_TRUE(dialog.Lines.empty());
  EXPECT_TRUE(console.Errors().empty());
}

}  // namespace
}  // namespace kelvox::test
