// The engine over real sockets: what the socket layer tells the listener's
// operator, and a user linked through a name that the system resolves.
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <sys/resource.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "net/os_socket.h"
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

// CONN to an IPv6 literal links over ::1; a name whose first address refuses
// (127.0.0.1, a port nobody listens on) links through its second (::1).
TEST_F(SocketBouncerTest, LinksToIpv6ServersAndFallsThroughANamesAddresses) {
  KELVOX_NEED_IPV6();
  Start();
  TRawListener irc{TOverIpv6{}};
  TRawPeer& user = GreetedUser();
  user.Send("NICK joe\r\nUSER joe 0 * :Joe\r\nCONN [::1]:" + irc.PortText() + "\r\n");
  ExpectNext(user, Welcome("joe") + Notice("   Connecting to server...\r\n", "joe"));
  auto server = AcceptLink(irc, 0);
  ExpectNext(user, Notice("   Connected to the IRC server.\r\n", "joe"));
  EXPECT_EQ(console.GetCell(2, 1), "[::1]:" + irc.PortText());
  EXPECT_EQ(LinkSocket(0).PeerAddr(), "::1");
  user.Close();
  WaitUsers(0);

  // The same port on 127.0.0.1, held and never listened on: refused.
  const int held = socket(AF_INET, SOCK_STREAM, 0);
  const sockaddr_in v4 = Loopback(irc.Port());
  ASSERT_EQ(bind(held, reinterpret_cast<const sockaddr*>(&v4), sizeof v4), 0);
  const std::string refused_port = irc.PortText();
  transport.SetLookup([](const std::string&, std::vector<TIpAddress>& addresses) {
    addresses = {TIpAddress::V4(os::ParseAddress("127.0.0.1")), TIpAddress{}};
    TIpAddress::Parse("::1", addresses.back());
    return 0;
  });
  TRawPeer& second = GreetedUser();
  second.Send("NICK ann\r\nUSER ann 0 * :Ann\r\nCONN irc.example.net:" + refused_port + "\r\n");
  ExpectNext(second, Welcome("ann") + Notice("   Connecting to server...\r\n", "ann"));
  auto linked = AcceptLink(irc, 0);
  ExpectNext(second, Notice("   Connected to the IRC server.\r\n", "ann"));
  EXPECT_EQ(console.GetCell(2, 1), "irc.example.net:" + refused_port);
  EXPECT_EQ(LinkSocket(0).PeerAddr(), "::1");
  close(held);
}

// The listener takes both families by default: an IPv4 user keeps its dotted
// address, a user over ::1 is the machine (here known by "::1") and falls
// under an IPv6 ban mask. With Listen address set, only that address listens.
class SocketIpv6MachineTest : public SocketBouncerTest {
 protected:
  void SetUp() override {
    bouncer.Checks().MachineName = [] { return std::string("::1"); };
    SocketBouncerTest::SetUp();
  }
};

TEST_F(SocketIpv6MachineTest, ListensOnBothFamiliesOrOnTheAddressSet) {
  KELVOX_NEED_IPV6();
  Start();
  TRawPeer& v4 = GreetedUser();
  EXPECT_EQ(UserSocket(0).PeerAddr(), "127.0.0.1");
  v4.Send("NICK ann\r\n");
  peers.push_back(std::make_unique<TRawPeer>(loop, port, TOverIpv6{}));
  TRawPeer& v6 = *peers.back();
  WaitUsers(2);
  ExpectNext(v6, Greeting());
  v6.Send("NICK joe\r\n");
  ASSERT_TRUE(loop.RunUntil([&] { return console.GetCell(0, 2) == "joe@::1"; }, kWait));
  EXPECT_EQ(UserSocket(1).PeerAddr(), "::1");

  settings.BanList.Add("::*");
  peers.push_back(std::make_unique<TRawPeer>(loop, port, TOverIpv6{}));
  ExpectNext(*peers.back(), Notice("   You are banned, Bye.\r\n"));
  WaitClosed(*peers.back());

  bouncer.Button3Click();
  settings.ListenAddress = "::1";
  Start();
  EXPECT_FALSE(TRawPeer(loop, port).Connected());
  EXPECT_TRUE(TRawPeer(loop, port, TOverIpv6{}).Connected());
}

// IP ::1 makes the link leave from ::1.
TEST_F(SocketBouncerTest, IpChoosesAnIpv6SourceAddress) {
  KELVOX_NEED_IPV6();
  settings.SelectableIps = {"Default ip", "::1"};
  Start();
  TRawListener irc{TOverIpv6{}};
  TRawPeer& user = GreetedUser();
  user.Send("IP #1\r\nNICK joe\r\nUSER joe 0 * :Joe\r\nCONN [::1]:" + irc.PortText() + "\r\n");
  ExpectNext(user, Notice("   Ip ::1 selected.\r\n"));
  auto server = AcceptLink(irc, 0);
  TIpAddress local;
  uint16_t local_port = 0;
  ASSERT_EQ(os::PeerName(server->Fd(), local, local_port), 0);
  EXPECT_EQ(local.Text(), "::1");
  EXPECT_EQ(LinkSocket(0).LocalAddr(), "::1");
}

}  // namespace
}  // namespace kelvox::test
