// What a user's lines do before and after the link: framing, the password, held
// registration lines, the client PING answer, nick tracking, the CTCP switches.
#include <gtest/gtest.h>

#include "tests/engine/engine_fixture.h"

namespace kelvox::test {
namespace {

class LineInterpreterTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    Start();
  }
  const std::string host_ = std::string(kWebHost);
};

TEST_F(LineInterpreterTest, LinesAreFramedPerUserAcrossReads) {
  TRecordingPeer& al = GreetedUser("10.0.0.1");
  TRecordingPeer& bo = GreetedUser("10.0.0.2");
  Say(al, "NICK al");
  Say(bo, "NICK bo");
  EXPECT_EQ(bouncer.Sessions().ClientOfSlot(1)->UnreadText(), "NICK bo");
  Say(al, "ice\r\n");
  Say(bo, "b\r\n");
  EXPECT_EQ(console.GetCell(0, 1), "alice@10.0.0.1");
  EXPECT_EQ(console.GetCell(0, 2), "bob@10.0.0.2");
}

// A notice needs a target for clients to show it: "*" until the user has a nick.
TEST_F(LineInterpreterTest, NoticesGoToTheNickOnceKnown) {
  TRecordingPeer& user = GreetedUser();  // greeted as "*"
  EXPECT_EQ(Say(user, "ADMIN x\r\nNICK :joe\r\nADMIN y\r\n"),
            Notice("   Bad password.\r\n") + Notice("   Bad password.\r\n", "joe"));
  // A NICK without a nick keeps the one known.
  EXPECT_EQ(Say(user, "NICK\r\nTIME\r\n").rfind(":Kelvox NOTICE joe :", 0), 0u);
}

// A nick that cannot stand as a middle parameter would take the notice's text
// for its target: such a user is told as "*", the line intact.
TEST_F(LineInterpreterTest, NoticesToANickThatCannotBeATargetGoToStar) {
  TRecordingPeer& user = GreetedUser();
  for (const char* nick : {"NICK ::\r\n", "NICK :::joe\r\n", "NICK :\r\n"}) {
    EXPECT_EQ(Say(user, std::string(nick) + "TIME\r\n").rfind(":Kelvox NOTICE * :\xA9 \xA9 \xA9   ", 0), 0u) << nick;
  }
  EXPECT_EQ(Say(user, "NICK :joe\r\nTIME\r\n").rfind(":Kelvox NOTICE joe :", 0), 0u);
}

TEST_F(LineInterpreterTest, PasswordWithBlanksIdentifiesAndAWrongCaseOneCloses) {
  settings.Identification = true;
  settings.Password = "Secret";
  TRecordingPeer& good = GreetedUser();
  EXPECT_EQ(Say(good, "PASS  Secret \r\n"), Greeting());
  EXPECT_EQ(console.GetCell(1, 1), "Waiting...");
  EXPECT_EQ(Say(GreetedUser(), "pass Secret\r\n"), Greeting());
  TRecordingPeer& wrong = GreetedUser();
  EXPECT_EQ(Say(wrong, "PASS secret\r\nNICK never\r\n"), Notice("   Bad password.\r\n"));
  EXPECT_EQ(wrong.State(), wsClosed);
  // Before the password, other lines are held, USER rewritten.
  TRecordingPeer& waiting = GreetedUser();
  EXPECT_EQ(Say(waiting, "USER joe 0 * :Joe\r\nJOIN #a\r\n"), "");
  EXPECT_EQ(Record(2).Pending, "USER joe 0 * :" + host_ + "\r\nJOIN #a\r\n");  // the wrong one has gone
}

TEST_F(LineInterpreterTest, ClientPingIsAnsweredWithoutALinkAndUserLinesAreRewritten) {
  TRecordingPeer& user = GreetedUser();
  EXPECT_EQ(Say(user, "PING :abc\r\nping\r\n"), "PONG :abc\r\nPONG \r\n");
  EXPECT_EQ(Say(user, "USER joe 0 * :Joe Bloggs\r\nuser joe 0 * joe\r\n"), "");
  EXPECT_EQ(Record(0).Pending, "USER joe 0 * :" + host_ + "\r\nuser joe 0 * joe :" + host_ + "\r\n");
}

// The openings of irssi (CAP first, waits for the answer) and WeeChat (PASS
// first): the bouncer negotiates itself, takes the password, and welcomes the
// client once it has registered, so that its on-connect commands run. Only NICK
// and USER are held for the IRC server; CAP LS opens the link for a client that
// took capabilities.
TEST_F(LineInterpreterTest, ClientsNegotiateWithTheBouncerIdentifyAndAreWelcomedOnce) {
  settings.Identification = true;
  settings.Password = "s3cret";
  TRecordingPeer& irssi = GreetedUser();
  EXPECT_EQ(Say(irssi, "CAP LS 302\r\n"),
            ":Kelvox CAP * LS :sasl=PLAIN server-time message-tags batch cap-notify multi-prefix away-notify "
            "account-notify extended-join chghost userhost-in-names invite-notify account-tag setname echo-message\r\n");
  EXPECT_EQ(Say(irssi, "CAP END\r\nPASS s3cret\r\nNICK joe\r\n"), Greeting());
  EXPECT_EQ(Say(irssi, "USER joe 0 * :Joe\r\n"), Welcome("joe"));
  EXPECT_EQ(Say(irssi, "USER joe 0 * :Joe\r\nCAP LIST\r\nCAP FOO\r\n"),
            ":Kelvox CAP joe LIST :cap-notify\r\n:Kelvox 410 joe FOO :Invalid CAP command\r\n");

  TRecordingPeer& weechat = GreetedUser();
  EXPECT_EQ(Say(weechat, "PASS s3cret\r\nCAP LS\r\nNICK ann\r\nUSER ann 0 * :Ann\r\n"),
            Greeting() + ":Kelvox CAP * LS :sasl server-time message-tags batch cap-notify multi-prefix away-notify "
                         "account-notify extended-join chghost userhost-in-names invite-notify account-tag setname "
                         "echo-message\r\n");
  EXPECT_EQ(Say(weechat, "CAP REQ :sasl server-time sts\r\n"), ":Kelvox CAP ann NAK :sasl server-time sts\r\n");
  EXPECT_EQ(Say(weechat, "CAP REQ :server-time\r\n"), ":Kelvox CAP ann ACK :server-time\r\n");
  EXPECT_EQ(Say(weechat, "CAP END\r\n"), Welcome("ann"));
  EXPECT_EQ(Say(weechat, "CONN 192.0.2.10\r\n"), Notice("   Connecting to server...\r\n", "ann"));
  transport.Link(0).Answer();
  Settle();
  EXPECT_EQ(transport.Link(0).Take(), "CAP LS 302\r\nNICK ann\r\nUSER ann 0 * :" + host_ + "\r\n");
}

// Keywords count only as a line's first word: these are registration lines.
TEST_F(LineInterpreterTest, NicksThatContainKeywordsAreHeldAndReplayed) {
  TRecordingPeer& admin = GreetedUser();
  Say(admin, "ADMIN tolvin\r\n");
  EXPECT_EQ(Say(admin, "NICK diego\r\nNICK connor\r\nNICK PINGU\r\nPASS server-secret\r\n"), "");
  EXPECT_EQ(bouncer.UserCount(), 1);  // no DIE
  EXPECT_EQ(console.GetCell(0, 1), "PINGU@10.0.0.1");
  EXPECT_EQ(Say(admin, "CONN 192.0.2.10\r\n"), Notice("   Connecting to server...\r\n", "PINGU"));
  transport.Link(0).Answer();
  Settle();
  EXPECT_EQ(transport.Link(0).Take(), "NICK diego\r\nNICK connor\r\nNICK PINGU\r\nPASS server-secret\r\n");
}

TEST_F(LineInterpreterTest, HeldLinesComeFirstThenLinesSentWhileConnecting) {
  TRecordingPeer& user = GreetedUser();
  EXPECT_EQ(Say(user, "NICK joe\r\nUSER joe 0 * :Joe\r\nCONN 192.0.2.10\r\nJOIN #kelvox\r\n$CTCPprotect OFF\r\n"),
            Welcome("joe") + Notice("   Connecting to server...\r\n", "joe"));
  EXPECT_EQ(Say(user, "HELP\r\n"), "");  // no command while linking: held
  transport.Link(0).Answer();
  Settle();
  EXPECT_EQ(transport.Link(0).Take(),
            "NICK joe\r\nUSER joe 0 * :" + host_ + "\r\nJOIN #kelvox\r\n$CTCPprotect OFF\r\nHELP\r\n");
  EXPECT_EQ(Record(0).Pending, "");
  EXPECT_TRUE(Record(0).CtcpProtect);
  EXPECT_EQ(console.GetCell(1, 1), "Connected to IRC.");
}

TEST_F(LineInterpreterTest, LinkedLinesLoseTheirCrsAndTheSwitchesWorkOnlyAsTheirOwnLine) {
  TRecordingPeer& user = GreetedUser();
  TRecordingPeer& server = LinkUser(user, "joe");
  Say(user, "PRIV\rMSG #a :hi\r\n\r\nNICK joe2\r\n");
  EXPECT_EQ(server.Take(), "PRIVMSG #a :hi\r\n\r\nNICK joe2\r\n");
  EXPECT_EQ(console.GetCell(0, 1), "joe2@10.0.0.1");
  EXPECT_EQ(Say(user, "$CTCPprotect OFF\r\n"),
            Notice("   CTCP flood protection disabled. /quote $CTCPprotect ON to run it.\r\n", "joe2"));
  EXPECT_FALSE(Record(0).CtcpProtect);
  EXPECT_EQ(Say(user, "$ctcpprotect on\r\n"),
            Notice("   CTCP flood protection enabled. /quote $CTCPprotect OFF to stop it.\r\n", "joe2"));
  // A channel message that quotes the switch is just a message.
  Say(user, "PRIVMSG #a :type $ctcpprotect off to be safe\r\n");
  EXPECT_EQ(server.Take(), "PRIVMSG #a :type $ctcpprotect off to be safe\r\n");
  EXPECT_TRUE(Record(0).CtcpProtect);
}

TEST_F(LineInterpreterTest, OverlongLinesAndTooManyHeldLinesEndThatUserOnly) {
  TRecordingPeer& other = GreetedUser();
  TRecordingPeer& flooder = GreetedUser();
  EXPECT_EQ(Say(flooder, std::string(20000, 'x')), Notice("   Line too long.\r\n"));
  EXPECT_EQ(flooder.State(), wsClosed);
  TRecordingPeer& hoarder = GreetedUser();
  std::string lines;
  while (lines.size() <= kMaxPending) lines += "PRIVMSG #x :" + std::string(100, 'y') + "\r\n";
  EXPECT_EQ(Say(hoarder, lines), Notice("   Too many lines held back, bye.\r\n"));
  EXPECT_EQ(hoarder.State(), wsClosed);
  EXPECT_EQ(bouncer.UserCount(), 1);
  EXPECT_EQ(Say(other, "PING :still\r\n"), "PONG :still\r\n");
}

}  // namespace
}  // namespace kelvox::test
