// The CTCP flood guard: a few requests per window reach the user, then one
// warning, then nothing until the window ends.
#include <gtest/gtest.h>

#include "tests/engine/bouncer_fixture.h"

namespace kelvox::test {
namespace {

class CtcpGuardTest : public BouncerTest {
 protected:
  void SetUp() override {
    BouncerTest::SetUp();
    Start();
    user = &GreetedUser();
    server = LinkUser(*user, irc, "joe");
  }
  static std::string Request(int n) { return ":x!y@z PRIVMSG joe :\x01VERSION " + std::to_string(n) + "\x01\r\n"; }
  std::string Requests(int from, int to) {
    std::string lines;
    for (int n = from; n <= to; ++n) lines += Request(n);
    return lines;
  }
  // The window ends now, as the timer would end it.
  void EndWindow() { bouncer.Timercommun(bouncer.Slots[0].CtcpTimer.get()); }
  void Barrier() {
    server->Send(":srv NOTICE joe :barrier\r\n");
    ExpectNext(*user, ":srv NOTICE joe :barrier\r\n");
  }

  const std::string flood = Notice("   CTCP Flood!, protection by Kelvox.\r\n") +
                            Notice("   CTCP flood protection is running. /quote $CTCPprotect OFF to remove it.\r\n");
  TRawListener irc;
  TRawPeer* user = nullptr;
  std::unique_ptr<TRawPeer> server;
};

TEST_F(CtcpGuardTest, WindowOpenedByConnPassesFourThenWarnsOnce) {
  EXPECT_TRUE(bouncer.Slots[0].CtcpTimer->Enabled());
  EXPECT_EQ(bouncer.Slots[0].CtcpTimer->Interval(), 15000);
  server->Send(Requests(1, 7));
  ExpectNext(*user, Requests(1, 4) + flood);
  Barrier();
}

TEST_F(CtcpGuardTest, WindowOpenedByARequestPassesFiveAndReopensAfterItEnds) {
  EndWindow();
  EXPECT_FALSE(bouncer.Slots[0].CtcpTimer->Enabled());
  server->Send(Requests(1, 7));
  ExpectNext(*user, Requests(1, 5) + flood);
  Barrier();
  EndWindow();
  server->Send(Request(8) + ":x!y@z PRIVMSG #chan :\x01" "ACTION waves\x01\r\n");
  ExpectNext(*user, Request(8) + ":x!y@z PRIVMSG #chan :\x01" "ACTION waves\x01\r\n");
  EXPECT_EQ(bouncer.Slots[0].CtcpCount, 1);  // the ACTION counted, the opener did not
}

TEST_F(CtcpGuardTest, ProtectionOffLetsEverythingThrough) {
  user->Send("$CTCPprotect off\r\n");
  ExpectNext(*user, Notice("   CTCP flood protection disabled. /quote $CTCPprotect ON to run it.\r\n"));
  server->Send(Requests(1, 12));
  ExpectNext(*user, Requests(1, 12));
}

TEST_F(CtcpGuardTest, SwitchingOffAndOnWhileFloodedKeepsDropping) {
  server->Send(Requests(1, 5));
  ExpectNext(*user, Requests(1, 4) + flood);
  user->Send("$CTCPprotect off\r\n$CTCPprotect on\r\n");
  ExpectNext(*user, Notice("   CTCP flood protection disabled. /quote $CTCPprotect ON to run it.\r\n") +
                        Notice("   CTCP flood protection enabled. /quote $CTCPprotect OFF to stop it.\r\n"));
  server->Send(Requests(6, 7));
  Barrier();
}

// The timer ends the window of whichever slot it belongs to now.
TEST_F(CtcpGuardTest, TimerFollowsItsUserWhenTheUserMovesDown) {
  TRawPeer& second = GreetedUser();
  auto second_server = LinkUser(second, irc, "ann");
  server->Send(Requests(1, 5));
  ExpectNext(*user, Requests(1, 4) + flood);
  user->Close();
  WaitUsers(1);
  EXPECT_EQ(bouncer.Slots[0].CtcpTimer->Tag, 0);
  bouncer.Slots[0].CtcpCount = 3;
  bouncer.Timercommun(bouncer.Slots[0].CtcpTimer.get());
  EXPECT_EQ(bouncer.Slots[0].CtcpCount, 0);
  EXPECT_FALSE(bouncer.Slots[0].CtcpTimer->Enabled());
}

}  // namespace
}  // namespace kelvox::test
