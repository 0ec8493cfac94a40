// Kick, ban and the message dialog.
#include <gtest/gtest.h>

#include "engine/message_dialog.h"
#include "tests/engine/engine_fixture.h"

namespace kelvox::test {
namespace {

class OperatorActionsTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    Start();
  }
};

TEST_F(OperatorActionsTest, KickWithAndWithoutNoticeAndOnAnEmptyRow) {
  TRecordingPeer& first = GreetedUser();
  TRecordingPeer& second = GreetedUser();
  bouncer.Kick(3, true);  // the trailing empty row: nothing
  bouncer.Kick(0, true);
  bouncer.Kick(2, false);
  bouncer.Kick(1, true);
  Settle();
  EXPECT_EQ(second.Take(), "");
  EXPECT_EQ(first.Take(), Notice("   You were kicked by the administrator.\r\n"));
  EXPECT_EQ(bouncer.UserCount(), 0);
}

// A local user is banned under the machine's own address, which is saved, and
// that machine's next connection is refused.
TEST_F(OperatorActionsTest, BanOfALocalUserSavesTheMachinesAddress) {
  TRecordingPeer& user = GreetedUser("127.0.0.1");
  bouncer.Ban(1);
  Settle();
  EXPECT_EQ(user.Take(), Notice("   You were kicked by the administrator.\r\n"));
  EXPECT_EQ(dir.Read("Banlist.conf"), std::string(kMachine) + "\r\n");
  EXPECT_EQ(Connect("127.0.0.1").Take(), Notice("   You are banned, Bye.\r\n"));
}

TEST_F(OperatorActionsTest, MessageDialogChecksAndSends) {
  TRecordingPeer& first = GreetedUser();
  TRecordingPeer& second = GreetedUser();
  TMessageDialog dialog(bouncer, console);
  dialog.Open(2);
  dialog.Lines = {"", "text"};
  dialog.SendClick();
  for (const char* tag : {"x2", "9", "0"}) {
    dialog.Lines = {"hello"};
    dialog.TagField = tag;
    dialog.SendClick();
  }
  EXPECT_EQ(console.Errors(),
            (std::vector<std::string>{"Invalid message.", "Invalid Tag", "Invalid Tag", "Invalid Tag"}));
  EXPECT_TRUE(dialog.Visible);
  EXPECT_TRUE(dialog.Lines.empty());
  EXPECT_TRUE(dialog.TagField.empty());

  dialog.Open(2);
  dialog.Lines = {"one", "two"};
  dialog.SendClick();
  EXPECT_FALSE(dialog.Visible);
  EXPECT_EQ(second.Take(), Notice("   Administrator notice : one\r\n") + Notice("   Administrator notice : two\r\n"));
  dialog.SendToAll = true;
  dialog.Lines = {"a"};
  dialog.SendClick();
  EXPECT_EQ(first.Take(), Notice("   Administrator notice : a\r\n"));
  EXPECT_EQ(second.Take(), Notice("   Administrator notice : a\r\n"));
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
