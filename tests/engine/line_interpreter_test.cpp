// What a user's lines do before and after the link: framing, the password, held
// registration lines, the client PING answer, nick tracking, the CTCP switches.
#include <gtest/gtest.h>

#include "tests/engine/bouncer_fixture.h"

namespace kelvox::test {
namespace {

using LineInterpreterTest = BouncerTest;

TEST_F(LineInterpreterTest, LineSplitOverTwoEventsIsOneLine) {
  Start();
  TRawPeer& user = GreetedUser();
  user.Send("NI");
  ASSERT_TRUE(loop.RunUntil([&] { return bouncer.ClientOfSlot(0)->ClientRest() == "NI"; }, kWait));
  user.Send("CK joe\r\n");
  ASSERT_TRUE(loop.RunUntil([&] { return !console.GetCell(0, 1).empty(); }, kWait));
  EXPECT_EQ(console.GetCell(0, 1), "joe@" + bouncer.Checks().ConvertLocalIp("127.0.0.1"));
}

TEST_F(LineInterpreterTest, InterleavedHalvesOfTwoUsersStayApart) {
  Start();
  TRawPeer& a = GreetedUser();
  TRawPeer& b = GreetedUser();
  a.Send("NICK al");
  b.Send("NICK bo");
  ASSERT_TRUE(loop.RunUntil([&] { return bouncer.ClientOfSlot(1)->ClientRest() == "NICK bo"; }, kWait));
  a.Send("ice\r\n");
  b.Send("b\r\n");
  ASSERT_TRUE(loop.RunUntil([&] { return !console.GetCell(0, 1).empty() && !console.GetCell(0, 2).empty(); }, kWait));
  EXPECT_EQ(console.GetCell(0, 1).substr(0, 6), "alice@");
  EXPECT_EQ(console.GetCell(0, 2).substr(0, 4), "bob@");
}

TEST_F(LineInterpreterTest, PasswordWithBlanksIdentifiesAndAWrongCaseOneCloses) {
  settings.Identification = true;
  settings.Password = "Secret";
  Start();
  TRawPeer& good = GreetedUser();
  good.Send("PASS  Secret \r\n");
  ExpectNext(good, Greeting());
  EXPECT_EQ(console.GetCell(1, 1), "Waiting...");

  TRawPeer& lower = GreetedUser();
  lower.Send("pass Secret\r\n");
  ExpectNext(lower, Greeting());

  TRawPeer& wrong = GreetedUser();
  wrong.Send("PASS secret\r\nNICK never\r\n");
  WaitClosed(wrong);
  ExpectNext(wrong, Notice("   Bad password.\r\n"));
  ExpectNothingMore(wrong);
}

TEST_F(LineInterpreterTest, ClientPingIsAnsweredWithoutALink) {
  Start();
  TRawPeer& user = GreetedUser();
  user.Send("PING :abc\r\nping\r\n");
  ExpectNext(user, "PONG :abc\r\nPONG \r\n");
  EXPECT_EQ(bouncer.Slots[0].Pending, "");
}

TEST_F(LineInterpreterTest, UserLineIsRewrittenInBothForms) {
  Start();
  TRawPeer& user = GreetedUser();
  user.Send("USER joe 0 * :Joe Bloggs\r\nuser joe 0 * joe\r\nPING :sync\r\n");
  ExpectNext(user, "PONG :sync\r\n");
  const std::string host(kWebHost);
  EXPECT_EQ(bouncer.Slots[0].Pending, "USER joe 0 * :" + host + "\r\nuser joe 0 * joe :" + host + "\r\n");
}

// Keywords count only as a line's first word: these are registration lines.
TEST_F(LineInterpreterTest, NicksThatContainKeywordsAreHeldAndReplayed) {
  TRawListener irc;
  Start();
  TRawPeer& admin = GreetedUser();
  admin.Send("ADMIN tolvin\r\n");
  ExpectNext(admin, Notice("   You are now logged as Administrator.\r\n") +
                        Notice("   Quote /quote help to list your new commands.\r\n"));
  admin.Send("NICK diego\r\nNICK connor\r\nNICK PINGU\r\nPASS server-secret\r\nPING :sync\r\n");
  ExpectNext(admin, "PONG :sync\r\n");
  EXPECT_EQ(bouncer.UserCount(), 1);  // no DIE
  EXPECT_EQ(console.GetCell(0, 1).substr(0, 6), "PINGU@");
  admin.Send("CONN 127.0.0.1:" + irc.PortText() + "\r\n");
  ExpectNext(admin, Notice("   Connecting to server...\r\n"));
  auto server = AcceptLink(irc, 0);
  ExpectNext(*server, "NICK diego\r\nNICK connor\r\nNICK PINGU\r\nPASS server-secret\r\n");
}

TEST_F(LineInterpreterTest, HeldLinesComeFirstThenLinesSentWhileConnecting) {
  TRawListener irc;
  Start();
  TRawPeer& user = GreetedUser();
  user.Send("NICK joe\r\nUSER joe 0 * :Joe\r\nCONN 127.0.0.1:" + irc.PortText() +
            "\r\nJOIN #kelvox\r\n$CTCPprotect OFF\r\n");
  // The lines after CONN came in the same burst, so they were taken while the
  // link connected: held, the protection switch included.
  ExpectNext(user, Notice("   Connecting to server...\r\n"));
  auto server = AcceptLink(irc, 0);
  ExpectNext(*server, "NICK joe\r\nUSER joe 0 * :" + std::string(kWebHost) + "\r\nJOIN #kelvox\r\n$CTCPprotect OFF\r\n");
  EXPECT_EQ(bouncer.Slots[0].Pending, "");
  EXPECT_TRUE(bouncer.Slots[0].CtcpProtect);
  EXPECT_EQ(console.GetCell(1, 1), "Connected to IRC.");
}

TEST_F(LineInterpreterTest, LinkedLinesLoseTheirCrsAndEmptyLinesPass) {
  TRawListener irc;
  Start();
  TRawPeer& user = GreetedUser();
  auto server = LinkUser(user, irc, "joe");
  user.Send("PRIV\rMSG #a :hi\r\n\r\nNICK joe2\r\n");
  ExpectNext(*server, "PRIVMSG #a :hi\r\n\r\nNICK joe2\r\n");
  EXPECT_EQ(console.GetCell(0, 1).substr(0, 5), "joe2@");
}

TEST_F(LineInterpreterTest, CtcpSwitchesWorkOnlyAsTheirOwnLine) {
  TRawListener irc;
  Start();
  TRawPeer& user = GreetedUser();
  auto server = LinkUser(user, irc, "joe");
  user.Send("$CTCPprotect OFF\r\n");
  ExpectNext(user, Notice("   CTCP flood protection disabled. /quote $CTCPprotect ON to run it.\r\n"));
  EXPECT_FALSE(bouncer.Slots[0].CtcpProtect);
  user.Send("$ctcpprotect on\r\n");
  ExpectNext(user, Notice("   CTCP flood protection enabled. /quote $CTCPprotect OFF to stop it.\r\n"));
  EXPECT_TRUE(bouncer.Slots[0].CtcpProtect);
  // A channel message that quotes the switch is just a message.
  user.Send("PRIVMSG #a :type $ctcpprotect on to be safe\r\n");
  ExpectNext(*server, "PRIVMSG #a :type $ctcpprotect on to be safe\r\n");
  EXPECT_TRUE(bouncer.Slots[0].CtcpProtect);
}

TEST_F(LineInterpreterTest, OverlongLineEndsThatUserOnly) {
  Start();
  TRawPeer& other = GreetedUser();
  TRawPeer& flooder = GreetedUser();
  flooder.Send(std::string(20000, 'x'));
  WaitClosed(flooder);
  ExpectNext(flooder, Notice("   Line too long.\r\n"));
  WaitUsers(1);
  other.Send("PING :still\r\n");
  ExpectNext(other, "PONG :still\r\n");
}

TEST_F(LineInterpreterTest, LinesHeldBeforeTheLinkAreBounded) {
  Start();
  TRawPeer& user = GreetedUser();
  std::string lines;
  while (lines.size() <= kMaxPending) lines += "PRIVMSG #x :" + std::string(100, 'y') + "\r\n";
  user.Send(lines);
  WaitClosed(user);
  ExpectNext(user, Notice("   Too many lines held back, bye.\r\n"));
  ExpectNothingMore(user);
}

}  // namespace
}  // namespace kelvox::test
