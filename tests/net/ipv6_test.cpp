// Addresses beyond IPv4: the address value, sockets that connect to, bind and
// report IPv6 addresses over ::1, the listener on both families, and lookups
// that answer either family in the resolver's order.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "net/ip_address.h"
#include "net/os_socket.h"
#include "net/resolve.h"
#include "net/resolver.h"
#include "net/wsocket.h"
#include "net/wsocket_server.h"
#include "tests/support/loopback.h"

namespace kelvox {
namespace {

using test::kWait;
using test::TOverIpv6;
using test::TRawListener;
using test::TRawPeer;

std::string TextOf(const std::string& text) {
  TIpAddress ip;
  return TIpAddress::Parse(text, ip) ? ip.Text() : "refused";
}

TEST(IpAddressTest, TextsOfBothFamilies) {
  EXPECT_EQ(TextOf("127.0.0.1"), "127.0.0.1");
  EXPECT_EQ(TextOf("2001:DB8:0:0:0:0:0:1"), "2001:db8::1");
  EXPECT_EQ(TextOf("[::1]"), "::1");
  EXPECT_EQ(TextOf("1::2::3"), "refused");
  EXPECT_EQ(TextOf("fe80::1%lo"), "refused");
  EXPECT_EQ(TextOf(""), "refused");
  TIpAddress mapped;
  ASSERT_TRUE(TIpAddress::Parse("::ffff:10.0.0.1", mapped));
  EXPECT_EQ(mapped.Unmapped().Text(), "10.0.0.1");
  EXPECT_EQ(mapped.Unmapped(), TIpAddress::V4(os::ParseAddress("10.0.0.1")));
  EXPECT_TRUE(TIpAddress::V4(0).IsAny());
  EXPECT_EQ(WSocketResolveHostIp(" [2001:db8::5] ").Text(), "2001:db8::5");
  EXPECT_EQ(WSocketResolveHostIp("127.0.0.1").Text(), "127.0.0.1");
}

// A connect to ::1 from a chosen source; both ends report each other as "::1".
TEST(Ipv6SocketTest, ConnectsToAndBindsIpv6Addresses) {
  KELVOX_NEED_IPV6();
  TEventLoop loop;
  TRawListener irc{TOverIpv6{}};
  TWSocket sock(loop);
  sock.SetAddr("::1");
  sock.SetPort(irc.PortText());
  sock.SetLocalAddr("0:0:0::1");
  EXPECT_EQ(sock.LocalAddr(), "::1");
  sock.Connect();
  ASSERT_TRUE(loop.RunUntil([&] { return sock.State() == wsConnected; }, kWait));
  EXPECT_EQ(sock.PeerAddr(), "::1");
  EXPECT_EQ(sock.PeerPort(), irc.PortText());
  TRawPeer server(loop, irc.Accept(), true);
  sock.SendLine("hello");
  ASSERT_TRUE(loop.RunUntil([&] { return server.Received() == "hello\r\n"; }, kWait));
  sock.Close();
  EXPECT_THROW(sock.SetLocalAddr("2001:db8::zz"), ESocketException);
}

// "::" takes both families; the IPv4 user is seen as its dotted address.
TEST(Ipv6SocketTest, ListenerOnBothFamilies) {
  KELVOX_NEED_IPV6();
  TEventLoop loop;
  TWSocketServer server(loop);
  std::vector<std::string> peers;
  server.OnClientConnect = [&](TWSocketServer*, TWSocketClient* client, uint16_t) {
    peers.push_back(client->PeerAddr());
  };
  server.SetProto("tcp");
  server.SetAddr("::");
  server.SetPort("0");
  server.Listen();
  const auto port = static_cast<uint16_t>(server.BoundPort());
  TRawPeer v4(loop, port);
  ASSERT_TRUE(loop.RunUntil([&] { return peers.size() == 1; }, kWait));
  TRawPeer v6(loop, port, TOverIpv6{});
  ASSERT_TRUE(loop.RunUntil([&] { return peers.size() == 2; }, kWait));
  EXPECT_EQ(peers, (std::vector<std::string>{"127.0.0.1", "::1"}));
  server.Close();

  // A literal takes that address only.
  TWSocketServer only(loop);
  only.SetProto("tcp");
  only.SetAddr("::1");
  only.SetPort("0");
  only.Listen();
  TRawPeer refused(loop, static_cast<uint16_t>(only.BoundPort()));
  EXPECT_FALSE(refused.Connected());
}

TEST(Ipv6ResolverTest, AnswersBothFamiliesInTheResolversOrder) {
  TEventLoop loop;
  TResolver resolver(loop, [](const std::string&, std::vector<TIpAddress>& addresses) {
    for (const char* text : {"2001:db8::1", "192.0.2.1", "2001:db8::2"}) {
      TIpAddress ip;
      TIpAddress::Parse(text, ip);
      addresses.push_back(ip);
    }
    return 0;
  });
  std::vector<std::string> all;
  resolver.Lookup("irc.example.net", [&](int, const std::vector<TIpAddress>& addresses) {
    for (const TIpAddress& a : addresses) all.push_back(a.Text());
  });
  ASSERT_TRUE(loop.RunUntil([&] { return !all.empty(); }, kWait));
  EXPECT_EQ(all, (std::vector<std::string>{"2001:db8::1", "192.0.2.1", "2001:db8::2"}));

  // The system's resolver answers an IPv6 literal with itself.
  std::vector<TIpAddress> found;
  ASSERT_EQ(os::LookupHostAll("::1", found), 0);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found.front().Text(), "::1");
}

}  // namespace
}  // namespace kelvox
