// The listening server over real loopback connections: the accept steps, the
// ordered client list and the deferred departures that keep slots dense.
#include "net/wsocket_server.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/support/loopback.h"

namespace kelvox {
namespace {

using test::kWait;
using test::TRawListener;
using test::TRawPeer;
using ::testing::ElementsAre;

class WSocketServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server.Name = "Server";
    server.SetProto("tcp");
    server.SetAddr("127.0.0.1");
    server.SetPort("0");
    server.OnClientDisconnect = [this](TWSocketServer* s, TWSocketClient* c, uint16_t) {
      int index = -1;
      for (int i = 0; i < s->ClientCount(); ++i) {
        if (s->ClientAt(i) == c) index = i;
      }
      departures.push_back(c->Name + " at " + std::to_string(index) + " of " +
                           std::to_string(s->ClientCount()));
    };
    server.Listen();
    port = static_cast<uint16_t>(server.BoundPort());
  }

  // Connects n peers and waits until the server lists them all.
  void ConnectPeers(int n) {
    for (int i = 0; i < n; ++i) {
      peers.push_back(std::make_unique<TRawPeer>(loop, port));
      const int listed = server.ClientCount() + 1;
      ASSERT_TRUE(loop.RunUntil([&] { return server.ClientCount() == listed; }, kWait));
    }
  }

  TEventLoop loop;
  TWSocketServer server{loop};
  uint16_t port = 0;
  std::vector<std::unique_ptr<TRawPeer>> peers;
  std::vector<std::string> departures;
};

TEST_F(WSocketServerTest, AcceptListsNamedClientsInOrder) {
  std::vector<int> index_at_connect;
  server.OnClientConnect = [&](TWSocketServer* s, TWSocketClient* c, uint16_t error) {
    EXPECT_EQ(error, 0);
    EXPECT_EQ(c->State(), wsConnected);
    EXPECT_EQ(s->ClientAt(s->ClientCount() - 1), c);
    index_at_connect.push_back(s->ClientCount() - 1);
  };
  ConnectPeers(3);
  EXPECT_THAT(index_at_connect, ElementsAre(0, 1, 2));
  EXPECT_EQ(server.ClientAt(0)->Name, "ServerClient1");
  EXPECT_EQ(server.ClientAt(2)->Name, "ServerClient3");
  EXPECT_EQ(server.ClientAt(1)->PeerAddr(), "127.0.0.1");
  EXPECT_EQ(server.ClientAt(-1), nullptr);
  EXPECT_EQ(server.ClientAt(server.ClientCount()), nullptr);
  EXPECT_EQ(server.AcceptCount(), 3);
}

// Two clients closed inside one handler are announced after that handler, in
// closing order; the second has moved one index down by the time it is announced.
TEST_F(WSocketServerTest, DeparturesComeAfterTheHandlerInClosingOrder) {
  ConnectPeers(3);
  bool handler_done = false;
  loop.Post([&] {
    server.ClientAt(0)->Close();
    server.ClientAt(1)->Close();
    EXPECT_TRUE(departures.empty());
    EXPECT_EQ(server.ClientCount(), 3);
    handler_done = true;
  });
  ASSERT_TRUE(loop.RunUntil([&] { return departures.size() == 2; }, kWait));
  EXPECT_TRUE(handler_done);
  EXPECT_THAT(departures, ElementsAre("ServerClient1 at 0 of 3", "ServerClient2 at 0 of 2"));
  ASSERT_EQ(server.ClientCount(), 1);
  EXPECT_EQ(server.ClientAt(0)->Name, "ServerClient3");
}

TEST_F(WSocketServerTest, ClientClosedDuringItsConnectIsAnnouncedLater) {
  server.OnClientConnect = [&](TWSocketServer*, TWSocketClient* c, uint16_t) {
    c->SendText("   Too many connections, bye.\r\n");
    c->Close();
    EXPECT_TRUE(departures.empty());
  };
  peers.push_back(std::make_unique<TRawPeer>(loop, port));
  ASSERT_TRUE(loop.RunUntil([&] { return !departures.empty(); }, kWait));
  EXPECT_THAT(departures, ElementsAre("ServerClient1 at 0 of 1"));
  EXPECT_EQ(server.ClientCount(), 0);
  ASSERT_TRUE(loop.RunUntil([&] { return peers[0]->Eof(); }, kWait));
  EXPECT_EQ(peers[0]->Received(), "   Too many connections, bye.\r\n");
}

TEST_F(WSocketServerTest, PeerThatLeavesIsAnnouncedOnce) {
  ConnectPeers(2);
  peers[0]->Close();
  ASSERT_TRUE(loop.RunUntil([&] { return server.ClientCount() == 1; }, kWait));
  peers[1]->Reset();
  ASSERT_TRUE(loop.RunUntil([&] { return server.ClientCount() == 0; }, kWait));
  loop.RunUntilIdle();
  EXPECT_THAT(departures, ElementsAre("ServerClient1 at 0 of 2", "ServerClient2 at 0 of 1"));
}

// Stop: the listener closes, every client gets its notice and is closed; the list
// stays whole until the departures are handled, one per client.
TEST_F(WSocketServerTest, StoppingKeepsTheListUntilDeparturesAreHandled) {
  ConnectPeers(3);
  server.Close();
  EXPECT_EQ(server.State(), wsClosed);
  for (int i = 0; i < 3; ++i) {
    TWSocketClient* c = server.ClientAt(i);
    if (c->State() == wsConnected) c->SendText("   Disconnection - Bouncer is down.\r\n");
    c->Close();
  }
  EXPECT_EQ(server.ClientCount(), 3);
  ASSERT_TRUE(loop.RunUntil([&] { return server.ClientCount() == 0; }, kWait));
  EXPECT_EQ(departures.size(), 3u);
  for (auto& peer : peers) {
    ASSERT_TRUE(loop.RunUntil([&] { return peer->Eof(); }, kWait));
    EXPECT_EQ(peer->Received(), "   Disconnection - Bouncer is down.\r\n");
  }
}

TEST_F(WSocketServerTest, ListenOnABusyPortReportsBindAndStaysClosed) {
  TRawListener holder;
  TWSocketServer second(loop);
  second.SetAddr("127.0.0.1");
  second.SetPort(holder.PortText());
  try {
    second.Listen();
    FAIL() << "Listen on a busy port succeeded";
  } catch (const ESocketException& e) {
    EXPECT_STREQ(e.what(), "Error 10048 in function Bind\r\nAddress already in use");
    EXPECT_EQ(e.Step(), TSocketStep::kListenBind);
    EXPECT_EQ(e.Code(), WSAEADDRINUSE);
    EXPECT_EQ(e.Cause(), "Address already in use");
  }
  EXPECT_EQ(second.State(), wsClosed);
  second.SetPort("0");
  second.Listen();
  EXPECT_EQ(second.State(), wsListening);
  second.Close();

  // A closed server has forgotten Addr and Port: they must be set again.
  try {
    second.Listen();
    FAIL() << "Listen without a port succeeded";
  } catch (const ESocketException& e) {
    EXPECT_STREQ(e.what(), "Error 10022 in function listen: port not assigned\r\nInvalid argument");
  }
}

TEST_F(WSocketServerTest, MaxClientsClosesTheClientOverTheLimit) {
  server.MaxClients = 2;
  server.BannerToBusy = " ";
  int connects = 0;
  server.OnClientConnect = [&](TWSocketServer*, TWSocketClient*, uint16_t) { ++connects; };
  ConnectPeers(2);
  peers.push_back(std::make_unique<TRawPeer>(loop, port));
  ASSERT_TRUE(loop.RunUntil([&] { return departures.size() == 1; }, kWait));
  EXPECT_EQ(connects, 3);
  EXPECT_THAT(departures, ElementsAre("ServerClient3 at 2 of 3"));
}

TEST_F(WSocketServerTest, ExceptionEscapingClientConnectAbortsTheListener) {
  server.OnClientConnect = [](TWSocketServer*, TWSocketClient*, uint16_t) {
    throw std::runtime_error("admission failed");
  };
  peers.push_back(std::make_unique<TRawPeer>(loop, port));
  ASSERT_TRUE(loop.RunUntil([&] { return server.State() == wsClosed; }, kWait));
  EXPECT_EQ(server.ClientCount(), 1);  // the client stays listed and connected
}

// A client whose connection ends through an error report (which fires no closed
// event) is still announced and removed, exactly once.
class TFailingClient : public TWSocketClient {
 public:
  using TWSocketClient::TWSocketClient;
  void FailWithReset() { FireError(TSocketStep::kSend, WSAECONNRESET); }
};

TEST_F(WSocketServerTest, ConnectionEndedByAnErrorReportIsAnnouncedOnce) {
  server.ClientType = [](TEventLoop& l) { return std::make_unique<TFailingClient>(l); };
  ConnectPeers(1);
  auto* client = static_cast<TFailingClient*>(server.ClientAt(0));
  EXPECT_THROW(client->FailWithReset(), ESocketException);
  EXPECT_EQ(client->State(), wsClosed);
  ASSERT_TRUE(loop.RunUntil([&] { return server.ClientCount() == 0; }, kWait));
  loop.RunUntilIdle();
  EXPECT_THAT(departures, ElementsAre("ServerClient1 at 0 of 1"));
}

TEST_F(WSocketServerTest, PeerThatResetsBeforeItIsTakenDoesNotStopTheListener) {
  int connects = 0;
  server.OnClientConnect = [&](TWSocketServer*, TWSocketClient*, uint16_t) { ++connects; };
  auto early = std::make_unique<TRawPeer>(loop, port);
  early->Reset();
  ConnectPeers(1);
  ASSERT_TRUE(loop.RunUntil([&] { return server.ClientCount() == 1 && departures.size() == connects - 1u; }, kWait));
  EXPECT_EQ(server.State(), wsListening);
}

// With no descriptor left, the pending connection is refused and the listener
// goes on instead of spinning on a readiness it cannot take.
TEST_F(WSocketServerTest, RunningOutOfDescriptorsRefusesOneConnectionAndGoesOn) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "the sanitizers' runtime needs descriptors of its own to check calls";
#endif
  rlimit saved{};
  getrlimit(RLIMIT_NOFILE, &saved);
  auto refused = std::make_unique<TRawPeer>(loop, port);
  const int lowest_free = dup(0);
  close(lowest_free);
  rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(lowest_free);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  const bool eof = loop.RunUntil([&] { return refused->Eof(); }, kWait);
  setrlimit(RLIMIT_NOFILE, &saved);
  ASSERT_TRUE(eof);
  EXPECT_EQ(server.ClientCount(), 0);
  EXPECT_EQ(server.State(), wsListening);

  ConnectPeers(1);
  EXPECT_EQ(server.ClientCount(), 1);
}

}  // namespace
}  // namespace kelvox
