// CONN and the relay: a user linked to an IRC server played by the test.
#include <gtest/gtest.h>

#include "tests/engine/bouncer_fixture.h"

namespace kelvox::test {
namespace {

class ServerLinkTest : public BouncerTest {
 protected:
  void SetUp() override {
    BouncerTest::SetUp();
    Start();
  }
  TRawListener irc;
};

TEST_F(ServerLinkTest, ServerPingsAreAnsweredAndNotRelayed) {
  TRawPeer& user = GreetedUser();
  auto server = LinkUser(user, irc, "joe");
  server->Send("PING :123456\r\nping :abc\r\nPING 123456\r\n:srv PING :x\r\n:srv NOTICE joe :end\r\n");
  ExpectNext(*server, "PONG :123456\r\nPONG :abc\r\nPONG :PING 123456\r\n");
  ExpectNext(user, ":srv PING :x\r\n:srv NOTICE joe :end\r\n");

  settings.AutoPong = false;
  server->Send("PING :123456\r\n");
  ExpectNext(user, "PING :123456\r\n");
}

TEST_F(ServerLinkTest, LinesAreFramedAcrossEventsWithoutTheirCrs) {
  TRawPeer& user = GreetedUser();
  auto server = LinkUser(user, irc, "joe");
  server->Send("PI");
  ASSERT_TRUE(loop.RunUntil([&] { return bouncer.Links[0]->UnreadText() == "PI"; }, kWait));
  server->Send("NG :7\r\n:a NOTICE b :c\r\n:x");
  ExpectNext(*server, "PONG :7\r\n");
  ExpectNext(user, ":a NOTICE b :c\r\n");
  EXPECT_EQ(bouncer.Links[0]->UnreadText(), ":x");
  server->Send("\r\nabc\rdef\r\n\r\n");
  ExpectNext(user, ":x\r\nabcdef\r\n\r\n");
}

TEST_F(ServerLinkTest, CtcpRepliesAreRelayedAsOrdinaryLines) {
  TRawPeer& user = GreetedUser();
  auto server = LinkUser(user, irc, "joe");
  std::string notices;
  for (int i = 0; i < 8; ++i) notices += ":a NOTICE joe :\x01VERSION x\x01\r\n";
  server->Send(notices);
  ExpectNext(user, notices);
}

TEST_F(ServerLinkTest, ServerClosingTheLinkDisconnectsTheUser) {
  TRawPeer& user = GreetedUser();
  auto server = LinkUser(user, irc, "joe");
  server->Close();
  WaitClosed(user);
  ExpectNext(user, Notice("   Disconnected from the IRC server.\r\n"));
  ExpectNothingMore(user);
  WaitUsers(0);
}

TEST_F(ServerLinkTest, RefusedAttemptIsNotReportedAsConnected) {
  settings.Log = true;
  TClosedPort nobody;
  TRawPeer& user = GreetedUser();
  user.Send("NICK joe\r\nCONN 127.0.0.1:" + nobody.PortText() + "\r\n");
  WaitClosed(user);
  ExpectNext(user, Notice("   Connecting to server...\r\n") + Notice("   Disconnected from the IRC server.\r\n"));
  ExpectNothingMore(user);
  EXPECT_EQ(dir.Read("log.txt").find("Connected to 127.0.0.1"), std::string::npos);
}

TEST_F(ServerLinkTest, ConnWithoutPortUsesTheDefaultPort) {
  TRawPeer& user = GreetedUser();
  user.Send("CONN localhost\r\n");
  ExpectNext(user, Notice("   Connecting to server...\r\n"));
  EXPECT_EQ(console.GetCell(1, 1), "Connecting to server...");
  EXPECT_EQ(console.GetCell(2, 1), "localhost:6667");
  EXPECT_EQ(bouncer.Links[0]->Tag, 0);
  EXPECT_TRUE(bouncer.Slots[0].CtcpTimer->Enabled());
}

TEST_F(ServerLinkTest, FailedConnectsTellWhatFailedAndClose) {
  TRawPeer& bad_port = GreetedUser();
  bad_port.Send("CONN 127.0.0.1:7000:1\r\n");
  WaitClosed(bad_port);
  ExpectNothingMore(bad_port);

  TRawPeer& unknown = GreetedUser();
  unknown.Send("CONN  irc.example.invalid :6667\r\n");
  WaitClosed(unknown);
  ExpectNext(unknown, Notice("   Error, can't resolve server hostname: irc.example.invalid\r\n"));

  // A server name with "bind" in it is no bind failure.
  TRawPeer& named = GreetedUser();
  named.Send("CONN bind.example.invalid\r\n");
  WaitClosed(named);
  ExpectNext(named, Notice("   Error, can't resolve server hostname: bind.example.invalid\r\n"));
  ExpectNothingMore(named);

  settings.SelectableIps = {"Default ip", "203.0.113.77"};
  TRawPeer& elsewhere = GreetedUser();
  elsewhere.Send("IP #1\r\nCONN 127.0.0.1:" + irc.PortText() + "\r\n");
  WaitClosed(elsewhere);
  ExpectNext(elsewhere, Notice("   Ip 203.0.113.77 selected.\r\n") +
                            Notice("   Error, IP not available: 203.0.113.77\r\n"));
}

TEST_F(ServerLinkTest, DestinationRuleRefusesThenAllowsWithTheSameLink) {
  settings.DestinationList.Add("127.0.0.6");
  settings.DestinationList.Add("127.0.0.5");
  settings.destination = TListMode::only;
  settings.SettingChanged("destination");
  TRawPeer& user = GreetedUser();
  user.Send("CONN 127.0.0.7:" + irc.PortText() + "\r\n");
  ExpectNext(user, Notice("   Destination server not allowed.\r\n") + Notice("   Allowed servers list:\r\n") +
                       Notice("   - 127.0.0.5\r\n") + Notice("   - 127.0.0.6\r\n"));
  TWSocket* link = bouncer.Links[0].get();
  EXPECT_EQ(link->State(), wsClosed);

  settings.DestinationList.Add("127.0.0.1");
  auto server = LinkUser(user, irc, "joe");
  EXPECT_EQ(bouncer.Links[0].get(), link);

  settings.destination = TListMode::except;
  settings.SettingChanged("destination");
  TRawPeer& other = GreetedUser();
  other.Send("CONN 127.0.0.1:" + irc.PortText() + "\r\n");
  ExpectNext(other, Notice("   Destination server not allowed.\r\n") + Notice("   Ban servers list:\r\n") +
                        Notice("   - 127.0.0.1\r\n") + Notice("   - 127.0.0.5\r\n") + Notice("   - 127.0.0.6\r\n"));
}

TEST_F(ServerLinkTest, OverlongServerLineEndsTheLink) {
  TRawPeer& user = GreetedUser();
  auto server = LinkUser(user, irc, "joe");
  server->Send(std::string(20000, 'x'));
  WaitClosed(user);
  ExpectNext(user, Notice("   Disconnected from the IRC server.\r\n"));
}

TEST_F(ServerLinkTest, LeavingUserClosesItsLinkWithoutANotice) {
  TRawPeer& user = GreetedUser();
  auto server = LinkUser(user, irc, "joe");
  user.Close();
  WaitUsers(0);
  ASSERT_TRUE(loop.RunUntil([&] { return server->Eof(); }, kWait));
  EXPECT_EQ(bouncer.Links[0], nullptr);
}

}  // namespace
}  // namespace kelvox::test
