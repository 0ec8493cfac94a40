// The CTCP flood guard: a few requests per window reach the user, then one
// warning, then nothing until the window ends.
#include <gtest/gtest.h>

#include "tests/engine/engine_fixture.h"

namespace kelvox::test {
namespace {

class CtcpGuardTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    Start();
    user = &GreetedUser();
    server = &LinkUser(*user, "joe");
  }
  static std::string Request(int n) { return ":x!y@z PRIVMSG joe :\x01VERSION " + std::to_string(n) + "\x01\r\n"; }
  static std::string Requests(int from, int to) {
    std::string lines;
    for (int n = from; n <= to; ++n) lines += Request(n);
    return lines;
  }
  /// What the user gets of these server lines.
  std::string Relayed(const std::string& lines) {
    Say(*server, lines);
    return user->Take();
  }
  // The window of a slot ends now, as its timer would end it.
  void EndWindow(int slot = 0) { bouncer.Links().Timercommun(Record(slot).CtcpTimer.get()); }

  const std::string flood =
      Notice("   CTCP Flood!, protection by Kelvox.\r\n", "joe") +
      Notice("   CTCP flood protection is running. /quote $CTCPprotect OFF to remove it.\r\n", "joe");
  TRecordingPeer* user = nullptr;
  TRecordingPeer* server = nullptr;
};

TEST_F(CtcpGuardTest, WindowOpenedByConnPassesFourThenWarnsOnce) {
  EXPECT_TRUE(Record(0).CtcpTimer->Enabled());
  EXPECT_EQ(Record(0).CtcpTimer->Interval(), 15000);
  EXPECT_EQ(Relayed(Requests(1, 7)), Requests(1, 4) + flood);
  EXPECT_EQ(Relayed(Request(8)), "");
}

TEST_F(CtcpGuardTest, WindowOpenedByARequestPassesFiveAndReopensAfterItEnds) {
  EndWindow();
  EXPECT_FALSE(Record(0).CtcpTimer->Enabled());
  EXPECT_EQ(Relayed(Requests(1, 7)), Requests(1, 5) + flood);
  EndWindow();
  const std::string action = ":x!y@z PRIVMSG #chan :\x01" "ACTION waves\x01\r\n";
  EXPECT_EQ(Relayed(Request(8) + action), Request(8) + action);
  EXPECT_EQ(Record(0).CtcpCount, 1);  // the ACTION counted, the opener did not
}

TEST_F(CtcpGuardTest, SwitchingProtectionOffAndOn) {
  EXPECT_EQ(Relayed(Requests(1, 5)), Requests(1, 4) + flood);
  EXPECT_EQ(Say(*user, "$CTCPprotect off\r\n"),
            Notice("   CTCP flood protection disabled. /quote $CTCPprotect ON to run it.\r\n", "joe"));
  EXPECT_EQ(Relayed(Requests(6, 12)), Requests(6, 12));
  EXPECT_EQ(Say(*user, "$CTCPprotect on\r\n"),
            Notice("   CTCP flood protection enabled. /quote $CTCPprotect OFF to stop it.\r\n", "joe"));
  EXPECT_EQ(Relayed(Requests(13, 14)), "");  // still flooded in this window
}

// The timer ends the window of whichever slot its user has now.
TEST_F(CtcpGuardTest, TimerFollowsItsUserWhenTheUserMovesDown) {
  TRecordingPeer& second = GreetedUser();
  TRecordingPeer& second_server = LinkUser(second, "ann");
  user->PeerCloses();
  Settle();
  EXPECT_EQ(Record(0).CtcpTimer->Tag, 0);
  Say(second_server, Requests(1, 4));
  EXPECT_EQ(Record(0).CtcpCount, 4);
  EndWindow(0);
  EXPECT_EQ(Record(0).CtcpCount, 0);
  EXPECT_FALSE(Record(0).CtcpTimer->Enabled());
}

}  // namespace
}  // namespace kelvox::test
