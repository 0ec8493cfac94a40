// Sessions that outlive their client, on the recording transport: the detach,
// what is held meanwhile, the attach burst, several clients on one session, and
// every way a session ends.
#include <gtest/gtest.h>

#include "engine/linger_replay.h"
#include "tests/engine/engine_fixture.h"

namespace kelvox::test {
namespace {

constexpr const char* kKey = "k3y-0f-a11ce";
constexpr const char* kJoined =
    ":irc.test 001 al :Welcome\r\n:irc.test 005 al PREFIX=(ov)@+ :are supported\r\n"
    ":al!a@h.test JOIN #k\r\n:irc.test 332 al #k :the topic\r\n"
    ":irc.test 353 al = #k :@al bo\r\n:irc.test 366 al #k :End of /NAMES list.\r\n";
constexpr const char* kBurst =
    ":irc.test 005 al PREFIX=(ov)@+ :are supported\r\n:al!a@h.test JOIN #k\r\n:irc.test 332 al #k :the topic\r\n"
    ":irc.test 353 al = #k :@al bo\r\n:irc.test 366 al #k :End of /NAMES list.\r\n";

class LingerSessionTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    settings.LingerMinutes = "60";
    settings.AutoPong = false;
    Start();
  }

  /// A user as al with the key, linked and on #k; the server's lines taken.
  TRecordingPeer& Lingering(TRecordingPeer& user, const std::string& key = kKey) {
    EXPECT_EQ(Say(user, "NICK al\r\nUSER al 0 * :Al\r\nCONN 192.0.2.10:6667 linger=" + key + "\r\n"),
              Welcome("al") + Notice("   Connecting to server...\r\n", "al"));
    TRecordingPeer& server = transport.Link(transport.LinkCount() - 1);
    server.Answer();
    Settle();
    server.Take();
    Say(server, kJoined);
    user.Take();
    return server;
  }
  /// Another client comes back with its CONN line, registered as `nick`.
  std::string Attach(TRecordingPeer& user, const std::string& nick, const std::string& key = kKey) {
    return Say(user, "NICK " + nick + "\r\nUSER " + nick + " 0 * :X\r\nCONN 192.0.2.10:6667 linger=" + key +
                         "\r\nJOIN #later\r\n");
  }
  std::string LingerNotice(int held, int dropped) {
    return Notice("   Linger: " + std::to_string(held) + " lines held while no client was attached, " +
                      std::to_string(dropped) + " dropped.\r\n",
                  "al");
  }
};

// The whole way: the drop, the PING answered and the CTCP request left alone
// while away, the return as another nick, the channels, every missed line once
// with its time, then live traffic.
TEST_F(LingerSessionTest, AClientThatComesBackGetsItsChannelsAndWhatItMissed) {
  TRecordingPeer& first = GreetedUser();
  TRecordingPeer& server = Lingering(first);
  first.PeerCloses();
  Settle();
  EXPECT_EQ(server.Take(), "AWAY :Detached from the bouncer\r\n");
  EXPECT_EQ(bouncer.UserCount(), 1);
  EXPECT_EQ(console.GetCell(1, 1), "Detached (60 min left)");
  const auto before = std::chrono::system_clock::now();
  EXPECT_EQ(Say(server, ":irc.test 306 al :You have been marked as being away\r\nPING :p1\r\n"
                        ":bo!b@h PRIVMSG al :\x01VERSION\x01\r\n:bo!b@h PRIVMSG #k :are you there?\r\n"
                        ":bo!b@h PRIVMSG #k :\x01" "ACTION waits\x01\r\n"),
            "PONG :p1\r\n");
  const std::string stamp = ShortTimePrefix(before);

  TRecordingPeer& back = GreetedUser("10.0.0.2");
  const std::string burst = Attach(back, "al2");
  EXPECT_TRUE(burst == Welcome("al2") + ":al2 NICK :al\r\n" + kBurst + ":bo!b@h PRIVMSG #k :" + stamp +
                           "are you there?\r\n:bo!b@h PRIVMSG #k :\x01" "ACTION waits\x01\r\n" + LingerNotice(2, 0) ||
              ShortTimePrefix(std::chrono::system_clock::now()) != stamp)
      << burst;
  EXPECT_EQ(server.Take(), "AWAY\r\nJOIN #later\r\n");
  EXPECT_EQ(Say(server, ":irc.test 305 al :You are no longer marked as being away\r\n:bo!b@h PRIVMSG #k :hi\r\n"),
            "");
  EXPECT_EQ(back.Take(), ":bo!b@h PRIVMSG #k :hi\r\n");
  EXPECT_EQ(bouncer.UserCount(), 1);
  EXPECT_EQ(console.GetCell(0, 1), "al@10.0.0.2");
  EXPECT_EQ(console.GetCell(1, 1), "Connected to IRC.");
  // Nothing is given twice: a second return finds only what came since.
  back.PeerCloses();
  Settle();
  TRecordingPeer& third = GreetedUser("10.0.0.3");
  EXPECT_EQ(Attach(third, "al"), Welcome("al") + kBurst + LingerNotice(0, 0));
}

// A server-time client gets the times as tags; a full ring drops the oldest
// and says how many.
TEST_F(LingerSessionTest, HeldLinesCarryTheirTimesAndTheRingDropsTheOldest) {
  settings.LingerLines = "2";
  TRecordingPeer& first = GreetedUser();
  TRecordingPeer& server = Lingering(first);
  first.PeerCloses();
  Settle();
  Say(server, "@time=2026-01-02T03:04:05.000Z :bo!b@h PRIVMSG #k :one\r\n"
              "@time=2026-01-02T03:04:06.000Z :bo!b@h PRIVMSG #k :two\r\n"
              "@time=2026-01-02T03:04:07.000Z :bo!b@h PRIVMSG #k :three\r\n");
  TRecordingPeer& back = GreetedUser("10.0.0.2");
  Say(back, "CAP LS 302\r\n");
  Say(back, "CAP REQ :server-time\r\nCAP END\r\n");
  EXPECT_TRUE(Attach(back, "al").ends_with(std::string(kBurst) +
                                           "@time=2026-01-02T03:04:06.000Z :bo!b@h PRIVMSG #k :two\r\n"
                                           "@time=2026-01-02T03:04:07.000Z :bo!b@h PRIVMSG #k :three\r\n" +
                                           LingerNotice(2, 1)));
}

// Two clients on one session: the server's lines reach both, what one says
// goes to the server once and the other sees it as the server would show it.
TEST_F(LingerSessionTest, SeveralClientsShareOneSessionAndSeeWhatEachOtherSays) {
  TRecordingPeer& laptop = GreetedUser();
  TRecordingPeer& server = Lingering(laptop);
  TRecordingPeer& phone = GreetedUser("10.0.0.2");
  EXPECT_EQ(Attach(phone, "al"), Welcome("al") + kBurst + LingerNotice(0, 0));
  EXPECT_EQ(server.Take(), "JOIN #later\r\n");  // no AWAY: the session was never away
  EXPECT_EQ(Say(laptop, "PRIVMSG #k :from the laptop\r\n"), "");
  EXPECT_EQ(phone.Take(), ":al!a@h.test PRIVMSG #k :from the laptop\r\n");
  EXPECT_EQ(Say(phone, "NOTICE bo :from the phone\r\n"), "");
  EXPECT_EQ(laptop.Take(), ":al!a@h.test NOTICE bo :from the phone\r\n");
  EXPECT_EQ(server.Take(), "PRIVMSG #k :from the laptop\r\nNOTICE bo :from the phone\r\n");
  Say(server, ":al!a@h.test PART #k\r\n");
  EXPECT_EQ(laptop.Take(), ":al!a@h.test PART #k\r\n");
  EXPECT_EQ(phone.Take(), ":al!a@h.test PART #k\r\n");
  // The laptop quits: it leaves, the phone keeps the session, which is not away.
  EXPECT_EQ(Say(laptop, "QUIT :bye\r\n"), "");
  EXPECT_EQ(laptop.State(), wsClosed);
  EXPECT_EQ(server.Take(), "");
  EXPECT_EQ(Say(server, "PING :p2\r\n"), "");  // AutoPong is off: the phone answers
  EXPECT_EQ(phone.Take(), "PING :p2\r\n");
  EXPECT_EQ(bouncer.UserCount(), 1);
}

// Only the same key for the same server attaches; the rest is refused or opens
// a link of its own, and nothing shows the key.
TEST_F(LingerSessionTest, AnotherKeyOrServerNeverReachesTheSession) {
  TRecordingPeer& owner = GreetedUser();
  Lingering(owner);
  TRecordingPeer& guess = GreetedUser("10.0.0.2");
  Say(guess, "NICK eve\r\nUSER eve 0 * :E\r\nCONN 192.0.2.10:6667 linger=k3y-0f-a11cf\r\n");
  EXPECT_EQ(transport.LinkCount(), 2u);  // a new link, as any CONN
  TRecordingPeer& elsewhere = GreetedUser("10.0.0.3");
  Say(elsewhere, "CONN 192.0.2.11:6667 linger=" + std::string(kKey) + "\r\n");
  EXPECT_EQ(transport.LinkCount(), 3u);
  EXPECT_EQ(Say(GreetedUser("10.0.0.4"), "CONN 192.0.2.10 linger=short\r\n"),
            Notice("   Linger refused: a key is 12 to 64 printable characters, without blanks.\r\n"));
  settings.LingerMinutes = "0";
  EXPECT_EQ(Say(GreetedUser("10.0.0.5"), "CONN 192.0.2.10 linger=" + std::string(kKey) + "\r\n"),
            Notice("   Linger refused: the operator has it off.\r\n"));
  EXPECT_EQ(transport.LinkCount(), 3u);
  for (int row = 1; row <= bouncer.UserCount(); ++row) {
    for (int column = 0; column < 5; ++column) EXPECT_EQ(console.GetCell(column, row).find("k3y"), std::string::npos);
  }
}

// Expiry, the operator's kick and the stop each end a session with its QUIT,
// attached or not, and give its slot back.
TEST_F(LingerSessionTest, ExpiryKickAndStopEndTheSessionWithItsQuit) {
  bouncer.Sessions().WatchInterval = std::chrono::milliseconds(5);
  bouncer.Sessions().Limits.LingerMinute = std::chrono::milliseconds(100);
  settings.LingerMinutes = "2";
  TRecordingPeer& expiring = GreetedUser();
  TRecordingPeer& expired = Lingering(expiring);
  expiring.PeerCloses();
  Settle();
  EXPECT_EQ(console.GetCell(1, 1), "Detached (2 min left)");
  ASSERT_TRUE(loop.RunUntil([&] { return bouncer.UserCount() == 0; }, std::chrono::seconds(10)));
  EXPECT_EQ(expired.Take(), "AWAY :Detached from the bouncer\r\nQUIT :Session closed by the bouncer\r\n");
  EXPECT_EQ(expired.State(), wsClosed);

  settings.LingerMinutes = "60";
  TRecordingPeer& kicked_user = GreetedUser();
  TRecordingPeer& kicked = Lingering(kicked_user, "another-key-1");
  kicked_user.PeerCloses();
  Settle();
  TRecordingPeer& stopped_user = GreetedUser("10.0.0.2");
  TRecordingPeer& stopped = Lingering(stopped_user);
  kicked.Take();
  bouncer.Kick(1, true);
  Settle();
  EXPECT_EQ(kicked.Take(), "QUIT :Session closed by the bouncer\r\n");
  EXPECT_EQ(bouncer.UserCount(), 1);
  bouncer.Button3Click();
  Settle();
  EXPECT_EQ(stopped.Take(), "QUIT :Session closed by the bouncer\r\n");
  EXPECT_EQ(stopped_user.Take(), Notice("   Disconnection - Bouncer is down.\r\n", "al"));
  EXPECT_EQ(bouncer.UserCount(), 0);
}

// A server that drops a session nobody is attached to ends it.
TEST_F(LingerSessionTest, ALinkLostWhileDetachedEndsTheSession) {
  TRecordingPeer& user = GreetedUser();
  TRecordingPeer& server = Lingering(user);
  user.PeerCloses();
  Settle();
  server.PeerCloses();
  Settle();
  EXPECT_EQ(bouncer.UserCount(), 0);
  EXPECT_EQ(console.GetCell(1, 1), "");
}

}  // namespace
}  // namespace kelvox::test
