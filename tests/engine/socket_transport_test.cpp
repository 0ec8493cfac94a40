// The engine over real sockets: what the socket layer tells the listener's
// operator, and a user linked through a name that the system resolves.
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <sys/resource.h>

#include <algorithm>
#include <memory>
#include <vector>

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
  ExpectNext(user, Welcome("joe") + Notice("   Connecting to server...\r\n", "joe"));
  auto server = AcceptLink(irc, 0);
  ExpectNext(*server, "NICK joe\r\nUSER joe 0 * :" + std::string(kWebHost) + "\r\n");
  ExpectNext(user, Notice("   Connected to the IRC server.\r\n", "joe"));
  EXPECT_EQ(console.GetCell(2, 1), "localhost:" + irc.PortText());
  user.Send("PRIVMSG #a :hi\r\n");
  server->Send("PING :1\r\n:srv NOTICE joe :hello\r\n");
  ExpectNext(*server, "PRIVMSG #a :hi\r\nPONG :1\r\n");
  ExpectNext(user, ":srv NOTICE joe :hello\r\n");
  user.Close();
  WaitUsers(0);
  ASSERT_TRUE(loop.RunUntil([&] { return server->Eof(); }, kWait));
}

// A burst of connections from one machine: each is greeted, or refused with a
// notice, and none has to wait for the retries of a full accept queue.
TEST_F(SocketTransportTest, FiveHundredConnectionsAtOnceAreAllAnsweredWithoutRetries) {
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = std::min<rlim_t>(files.rlim_max, 4096);
  setrlimit(RLIMIT_NOFILE, &files);
  settings.Max = "99";
  Start();
  std::vector<std::unique_ptr<TRawPeer>> burst;
  for (int i = 0; i < 500; ++i) burst.push_back(std::make_unique<TRawPeer>(loop, port));
  // Every handshake was taken by the accept queue at its first try.
  for (const auto& peer : burst) {
    tcp_info info{};
    socklen_t len = sizeof info;
    ASSERT_EQ(getsockopt(peer->Fd(), IPPROTO_TCP, TCP_INFO, &info, &len), 0);
    EXPECT_EQ(info.tcpi_total_retrans, 0u);
  }
  const auto answered = [&] {
    return std::all_of(burst.begin(), burst.end(), [](const auto& p) { return p->Received().find('\n') != std::string::npos; });
  };
  ASSERT_TRUE(loop.RunUntil(answered, kWait));
  const auto greeted = std::count_if(burst.begin(), burst.end(),
                                     [](const auto& peer) { return peer->Received().rfind(Banner(), 0) == 0; });
  EXPECT_EQ(greeted, kMaxWaitingPerAddress);
}

}  // namespace
}  // namespace kelvox::test
