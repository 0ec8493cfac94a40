// Nobody holds a slot for ever: a user who gives no password or chooses no
// server, a server that does not answer the connect or falls silent. The limits
// are shortened to a fifth of a second, long enough for a loaded machine to
// take each step before them.
#include <gtest/gtest.h>

#include <functional>

#include "tests/engine/engine_fixture.h"

namespace kelvox::test {
namespace {

using std::chrono::milliseconds;

class TimeoutTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    bouncer.Sessions().WatchInterval = milliseconds(5);
    bouncer.Links().WatchInterval = milliseconds(5);
    Start();
  }
  void Until(const std::function<bool()>& done) { ASSERT_TRUE(loop.RunUntil(done, std::chrono::seconds(10))); }
};

TEST_F(TimeoutTest, AUserWhoGivesNoPasswordOrChoosesNoServerIsToldAndDropped) {
  bouncer.Sessions().Limits.Password = milliseconds(200);
  bouncer.Sessions().Limits.Link = milliseconds(400);
  settings.Identification = true;
  TRecordingPeer& silent = GreetedUser();
  TRecordingPeer& identified = GreetedUser();
  Say(identified, "PASS " + settings.Password + "\r\n");
  TRecordingPeer& linking = GreetedUser();
  Say(linking, "PASS " + settings.Password + "\r\nCONN 192.0.2.10\r\n");
  Until([&] { return silent.State() == wsClosed; });
  EXPECT_EQ(silent.Take(), Notice("   No password given in time, bye.\r\n"));
  Until([&] { return identified.State() == wsClosed; });
  EXPECT_NE(identified.Take().find(Notice("   No server chosen in time, bye.\r\n")), std::string::npos);
  EXPECT_EQ(linking.State(), wsConnected);  // CONN in time: no longer bound by these
}

TEST_F(TimeoutTest, AConnectThatIsNeverAnsweredGivesUp) {
  bouncer.Links().Limits.Connect = milliseconds(200);
  TRecordingPeer& user = GreetedUser();
  EXPECT_EQ(Say(user, "CONN 192.0.2.10\r\n"), Notice("   Connecting to server...\r\n"));
  Until([&] { return user.State() == wsClosed; });
  EXPECT_EQ(user.Take(), Notice("   The IRC server did not answer in time.\r\n") +
                             Notice("   Disconnected from the IRC server.\r\n"));
}

// The answer to the bouncer's own PING is not the user's; a server that does
// not answer it is lost.
TEST_F(TimeoutTest, ASilentServerIsAskedAndDroppedWhenItDoesNotAnswer) {
  bouncer.Links().Limits.Silence = milliseconds(200);
  bouncer.Links().Limits.Answer = milliseconds(200);
  TRecordingPeer& user = GreetedUser();
  TRecordingPeer& server = LinkUser(user, "joe");
  Until([&] { return server.Sent() == "PING :kelvox-alive\r\n"; });
  server.Take();
  Say(server, ":srv PONG srv :kelvox-alive\r\n:srv NOTICE joe :hi\r\n");
  EXPECT_EQ(user.Take(), ":srv NOTICE joe :hi\r\n");
  Until([&] { return user.State() == wsClosed; });
  EXPECT_EQ(server.Take(), "PING :kelvox-alive\r\n");
  EXPECT_EQ(user.Take(), Notice("   The IRC server stopped answering.\r\n", "joe") +
                             Notice("   Disconnected from the IRC server.\r\n", "joe"));
}

// A server that knows CAP but never ends the negotiation: the registration
// goes on without what was asked, and the user hears why it is not logged in.
TEST_F(TimeoutTest, ANegotiationThatIsNeverAnsweredEndsAndTheLinkRegisters) {
  bouncer.Links().Limits.Connect = milliseconds(200);
  TRecordingPeer& user = GreetedUser();
  Say(user, "CAP REQ :sasl server-time\r\nAUTHENTICATE PLAIN\r\nAUTHENTICATE AGpvZQBwdw==\r\nCAP END\r\n");
  Say(user, "NICK joe\r\nUSER joe 0 * :Joe\r\nCONN 192.0.2.10 sasl=plain-insecure\r\nJOIN #k\r\n");
  TRecordingPeer& server = transport.Link(0);
  server.Answer();
  Settle();
  user.Take();
  server.Take();
  EXPECT_EQ(Say(server, ":irc.test CAP * LS :sasl server-time\r\n"), "CAP REQ :sasl server-time\r\n");
  Until([&] { return server.Sent() == "CAP END\r\nJOIN #k\r\n"; });
  EXPECT_EQ(user.Take(), Notice("   SASL: the IRC server did not answer in time; you are not logged in.\r\n", "joe"));
  EXPECT_EQ(user.State(), wsConnected);
}

}  // namespace
}  // namespace kelvox::test
