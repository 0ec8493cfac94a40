// The engine over real sockets: what the socket layer tells the listener's
// operator, and a user linked through a name that the system resolves.
#include <gtest/gtest.h>

#include "tests/engine/socket_fixture.h"

namespace kelvox::test {
namespace {

using SocketTransportTest = SocketBouncerTest;

TEST_F(SocketTransportTest, StartOnABusyPortOrOnNoPortStaysOffline) {
  TRawListener holder;
  settings.Port = holder.PortText();
  bouncer.Button1Click();
  EXPECT_FALSE(bouncer.Listening());
  EXPECT_EQ(console.StatusText(0), "Port " + holder.PortText() + " already used.");
  settings.Port = "7000:1";
  bouncer.Button1Click();
  EXPECT_EQ(console.StatusText(0), "Port 7000:1: listen: WSocketResolvePort: Invalid Port.");
  EXPECT_FALSE(bouncer.Listening());
}

TEST_F(SocketTransportTest, AUserLinksThroughANameAndTalks) {
  Start();
  TRawListener irc;
  TRawPeer& user = GreetedUser();
  user.Send("NICK joe\r\nUSER joe 0 * :Joe\r\nCONN localhost:" + irc.PortText() + "\r\n");
  ExpectNext(user, Notice("   Connecting to server...\r\n"));
  auto server = AcceptLink(irc, 0);
  ExpectNext(*server, "NICK joe\r\nUSER joe 0 * :" + std::string(kWebHost) + "\r\n");
  ExpectNext(user, Notice("   Connected to the IRC server.\r\n"));
  EXPECT_EQ(console.GetCell(2, 1), "localhost:" + irc.PortText());
  user.Send("PRIVMSG #a :hi\r\n");
  server->Send("PING :1\r\n:srv NOTICE joe :hello\r\n");
  ExpectNext(*server, "PRIVMSG #a :hi\r\nPONG :1\r\n");
  ExpectNext(user, ":srv NOTICE joe :hello\r\n");
  user.Close();
  WaitUsers(0);
  ASSERT_TRUE(loop.RunUntil([&] { return server->Eof(); }, kWait));
}

}  // namespace
}  // namespace kelvox::test
