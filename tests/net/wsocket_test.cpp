// The event-driven socket over real loopback connections: the event sequences the
// bouncer relies on, the error reports with their exact texts, and what a close
// delivers.
#include "net/wsocket.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "net/graceful_close.h"
#include "tests/support/loopback.h"

namespace kelvox {
namespace {

using test::kWait;
using test::TClosedPort;
using test::TRawListener;
using test::TRawPeer;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

class WSocketTest : public ::testing::Test {
 protected:
  // Records every event of a socket as a short text, in order.
  void Record(TWSocket& s, bool read_data = true) {
    s.OnChangeState = [this](TWSocket*, TSocketState from, TSocketState to) {
      events.push_back("state " + std::to_string(from) + ">" + std::to_string(to));
    };
    s.OnSessionConnected = [this](TWSocket*, uint16_t error) {
      events.push_back("connected " + std::to_string(error));
    };
    s.OnSessionClosed = [this](TWSocket* sender, uint16_t error) {
      events.push_back("closed " + std::to_string(error) + " in " + std::to_string(sender->State()));
    };
    if (read_data) {
      // The close handling offers the handler one more read, which may find
      // nothing: only what arrives is recorded.
      s.OnDataAvailable = [this](TWSocket* sender, uint16_t) {
        if (std::string text = sender->ReceiveText(); !text.empty()) events.push_back("data " + text);
      };
    }
  }

  // Connects `s` to the listener and returns the accepted far end.
  std::unique_ptr<TRawPeer> ConnectTo(TWSocket& s, TRawListener& listener) {
    s.SetAddr("127.0.0.1");
    s.SetPort(listener.PortText());
    s.Connect();
    EXPECT_TRUE(loop.RunUntil([&] { return s.State() == wsConnected; }, kWait));
    return std::make_unique<TRawPeer>(loop, listener.Accept(), true);
  }

  // Connects the fixture's link with its events recorded, then forgets the events
  // of the connect.
  std::unique_ptr<TRawPeer> ConnectRecorded() {
    Record(link);
    auto peer = ConnectTo(link, far_listener);
    events.clear();
    return peer;
  }

  static std::string MessageOf(const std::function<void()>& action) {
    try {
      action();
    } catch (const ESocketException& e) {
      return e.what();
    }
    return "(nothing raised)";
  }

  TEventLoop loop;
  std::vector<std::string> events;
  TRawListener far_listener;
  TWSocket link{loop};
};

TEST_F(WSocketTest, SuccessfulConnectOpensConnectsThenDeliversData) {
  TRawListener listener;
  TWSocket sock(loop);
  Record(sock);
  sock.SetAddr("127.0.0.1");
  sock.SetPort(listener.PortText());
  sock.Connect();
  EXPECT_THAT(events, ElementsAre("state 7>1", "state 1>3"));
  EXPECT_EQ(sock.State(), wsConnecting);

  ASSERT_TRUE(loop.RunUntil([&] { return sock.State() == wsConnected; }, kWait));
  TRawPeer peer(loop, listener.Accept(), true);
  peer.Send("hello\r\n");
  ASSERT_TRUE(loop.RunUntil([&] { return events.size() == 5; }, kWait));
  EXPECT_THAT(events, ElementsAre("state 7>1", "state 1>3", "state 3>4", "connected 0",
                                  "data hello\r\n"));
  EXPECT_EQ(sock.PeerAddr(), "127.0.0.1");
  EXPECT_EQ(sock.PeerPort(), listener.PortText());
}

TEST_F(WSocketTest, RefusedConnectIsReportedAsConnectedWithErrorThenClosed) {
  TClosedPort nobody;
  TWSocket sock(loop);
  Record(sock);
  sock.SetAddr("127.0.0.1");
  sock.SetPort(nobody.PortText());
  sock.Connect();
  ASSERT_TRUE(loop.RunUntil([&] { return sock.State() == wsClosed; }, kWait));
  EXPECT_THAT(events, ElementsAre("state 7>1", "state 1>3", "state 3>4", "connected 10061",
                                  "state 4>7", "closed 0 in 7"));
  // The socket can be used again once Addr and Port are set anew.
  EXPECT_EQ(sock.Port(), nobody.PortText());
  EXPECT_EQ(MessageOf([&] { sock.Connect(); }), "Connect: No Port Specified");
}

TEST_F(WSocketTest, PeerCloseDeliversPendingDataThenClosesWhileStillConnected) {
  auto peer = ConnectRecorded();
  peer->Send("bye\r\n");
  peer->Close();
  ASSERT_TRUE(loop.RunUntil([&] { return link.State() == wsClosed; }, kWait));
  EXPECT_THAT(events, ElementsAre("data bye\r\n", "closed 0 in 4", "state 4>7"));
}

TEST_F(WSocketTest, PeerResetIsReportedWithItsError) {
  auto peer = ConnectRecorded();
  peer->Reset();
  ASSERT_TRUE(loop.RunUntil([&] { return link.State() == wsClosed; }, kWait));
  EXPECT_THAT(events, ElementsAre("closed 10054 in 4", "state 4>7"));
}

// No handler runs inside the call that closes: the socket is closed at once and
// its events follow as a task.
TEST_F(WSocketTest, LocalCloseFiresAfterTheCallOnceAndKeepsTheLastSettings) {
  auto peer = ConnectRecorded();
  link.Close();
  EXPECT_EQ(link.State(), wsClosed);
  EXPECT_TRUE(events.empty());
  link.Close();
  loop.RunUntilIdle();
  EXPECT_THAT(events, ElementsAre("state 4>7", "closed 0 in 7"));
  EXPECT_EQ(link.Addr(), "127.0.0.1");
  EXPECT_EQ(link.Port(), far_listener.PortText());
  EXPECT_EQ(link.Proto(), "tcp");
  EXPECT_EQ(link.LocalAddr(), "0.0.0.0");
  EXPECT_EQ(link.PeerAddr(), "error");
  ASSERT_TRUE(loop.RunUntil([&] { return peer->Eof(); }, kWait));
}

TEST_F(WSocketTest, SendWhileNotConnectedRaises10057AndFiresNoClosedEvent) {
  const std::string not_connected = "Error 10057 in function Send\r\nSocket is not connected";
  TWSocket idle(loop);
  Record(idle);
  EXPECT_EQ(MessageOf([&] { idle.SendText("x"); }), not_connected);
  EXPECT_TRUE(events.empty());
  EXPECT_EQ(idle.LastError(), 10057);

  // While connecting, the OS handle is released and the state drops to closed.
  TRawListener listener;
  TWSocket connecting(loop);
  Record(connecting);
  connecting.SetAddr("127.0.0.1");
  connecting.SetPort(listener.PortText());
  connecting.Connect();
  events.clear();
  EXPECT_EQ(MessageOf([&] { connecting.SendText("x"); }), not_connected);
  EXPECT_EQ(connecting.State(), wsClosed);
  loop.RunUntilIdle();
  EXPECT_THAT(events, ElementsAre("state 3>7"));
}

TEST_F(WSocketTest, ReceiveAndSendEdges) {
  TWSocket closed(loop);
  EXPECT_EQ(MessageOf([&] { closed.ReceiveText(); }),
            "Error 10038 in function ioctlSocket\r\nSocket operation on non-socket");

  TRawListener listener;
  TWSocket sock(loop);
  auto peer = ConnectTo(sock, listener);
  EXPECT_EQ(sock.ReceiveText(), "");
  EXPECT_EQ(sock.SendText(""), 0);
  EXPECT_EQ(sock.SendText("abc"), 3);
  ASSERT_TRUE(loop.RunUntil([&] { return peer->Received() == "abc"; }, kWait));
}

// Output is written behind: a thousand lines sent in one task leave in a few
// system calls right after it, and the drain is announced once, later.
TEST_F(WSocketTest, LinesSentInOneTaskLeaveTogetherAfterIt) {
  TRawListener listener;
  TWSocket sock(loop);
  auto peer = ConnectTo(sock, listener);
  int sent_events = 0;
  sock.OnDataSent = [&](TWSocket*, uint16_t) { ++sent_events; };
  std::string expected;
  loop.Post([&] {
    for (int i = 0; i < 1000; ++i) {
      const std::string line = ":n!u@h PRIVMSG #kelvox :" + std::to_string(i) + std::string(70, 'x');
      sock.SendLine(line);
      expected += line + "\r\n";
    }
    EXPECT_EQ(sent_events, 0);
  });
  ASSERT_TRUE(loop.RunUntil([&] { return peer->Received().size() == expected.size(); }, kWait));
  loop.RunUntilIdle();
  EXPECT_TRUE(peer->Received() == expected);
  EXPECT_LE(sock.SendCalls(), 5);
  EXPECT_EQ(sent_events, 1);
}

// Lines are handed out whole, without their CRs, however the bytes arrive; each
// is consumed before the handler acts on it, so a handler that fails does not
// see it again; one read task takes at most the read budget.
TEST_F(WSocketTest, LinesComeWholeOnceEachAndReadsKeepToTheBudget) {
  TRawListener listener;
  TWSocket sock(loop);
  std::vector<std::string> lines;
  sock.OnDataAvailable = [&](TWSocket* s, uint16_t) {
    std::string_view line;
    while (s->ReceiveLine(line)) {
      lines.emplace_back(line);
      if (line == "fail") throw std::runtime_error("handler failed");
    }
  };
  auto peer = ConnectTo(sock, listener);
  peer->Send("ab\rc\r\nfail\r\nd\re");
  ASSERT_TRUE(loop.RunUntil([&] { return sock.UnreadText() == "d\re"; }, kWait));
  EXPECT_THAT(lines, ElementsAre("abc", "fail"));
  peer->Send("\r\n\r\nf");
  ASSERT_TRUE(loop.RunUntil([&] { return lines.size() == 4; }, kWait));
  EXPECT_THAT(lines, ElementsAre("abc", "fail", "de", ""));
  EXPECT_EQ(sock.UnreadText(), "f");

  lines.clear();
  std::string flood;
  while (flood.size() < 4 * TWSocket::kReadBudget) flood += "PRIVMSG #x :" + std::to_string(flood.size()) + "\n";
  const int64_t all = sock.ReadCount() + static_cast<int64_t>(flood.size());
  peer->Queue(flood);
  int64_t most = 0;
  while (sock.ReadCount() < all) {
    const int64_t before = sock.ReadCount();
    ASSERT_TRUE(loop.RunUntil([&] { return sock.ReadCount() > before; }, kWait));
    most = std::max(most, sock.ReadCount() - before);
  }
  EXPECT_LE(most, static_cast<int64_t>(TWSocket::kReadBudget));
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(std::count(flood.begin(), flood.end(), '\n')));
  EXPECT_EQ(lines.front(), "fPRIVMSG #x :0");
}

// Output above the high mark is told inside the Send, so the feeder can stop
// at once; back at the low mark it is told as a task. A paused socket reads
// nothing, yet sees its peer's end and then reads to it.
TEST_F(WSocketTest, WaterMarksAndAPausedReader) {
  TRawListener listener;
  TWSocket sock(loop);
  std::vector<std::string> marks;
  sock.OnBufferHigh = [&](TWSocket*) { marks.push_back("high"); };
  sock.OnBufferLow = [&](TWSocket*) { marks.push_back("low"); };
  std::string got;
  sock.OnDataAvailable = [&](TWSocket* s, uint16_t) { got += s->ReceiveText(); };
  auto peer = ConnectTo(sock, listener);
  peer->StopReading();
  const std::string chunk(64 * 1024, 'x');
  std::size_t sent = 0;
  while (marks.empty()) {
    sock.SendText(chunk);
    sent += chunk.size();
    loop.RunOnce(std::chrono::milliseconds(0));
  }
  EXPECT_LE(sock.BufferedBytes(), TWSocket::kHighWaterMark + chunk.size());
  peer->ResumeReading();
  ASSERT_TRUE(loop.RunUntil([&] { return peer->Received().size() == sent; }, kWait));
  loop.RunUntilIdle();
  EXPECT_THAT(marks, ElementsAre("high", "low"));

  sock.PauseReading();
  peer->Send("while paused\r\n");
  sock.SendText("barrier");
  ASSERT_TRUE(loop.RunUntil([&] { return peer->Received().size() == sent + 7; }, kWait));
  loop.RunUntilIdle();
  EXPECT_EQ(got, "");
  peer->Close();
  ASSERT_TRUE(loop.RunUntil([&] { return sock.State() == wsClosed; }, kWait));
  EXPECT_EQ(got, "while paused\r\n");
}

// Every connection sends at once and probes a silent peer.
TEST_F(WSocketTest, ConnectionsSendWithoutDelayAndProbeSilentPeers) {
  struct TExposed : TWSocket {
    using TWSocket::Handle;
    using TWSocket::TWSocket;
  };
  TRawListener listener;
  TExposed sock(loop);
  auto peer = ConnectTo(sock, listener);
  const auto option = [&](int level, int name) {
    int value = 0;
    socklen_t len = sizeof value;
    getsockopt(sock.Handle(), level, name, &value, &len);
    return value;
  };
  EXPECT_EQ(option(IPPROTO_TCP, TCP_NODELAY), 1);
  EXPECT_EQ(option(SOL_SOCKET, SO_KEEPALIVE), 1);
  EXPECT_EQ(option(IPPROTO_TCP, TCP_KEEPIDLE), 60);
  EXPECT_EQ(option(IPPROTO_TCP, TCP_KEEPINTVL), 10);
  EXPECT_EQ(option(IPPROTO_TCP, TCP_KEEPCNT), 6);
}

TEST_F(WSocketTest, SettingsChangeOnlyWhileClosed) {
  TRawListener listener;
  TWSocket sock(loop);
  auto peer = ConnectTo(sock, listener);
  sock.SetAddr(" 127.0.0.1 ");  // the same text: accepted silently
  EXPECT_EQ(MessageOf([&] { sock.SetAddr("127.0.0.2"); }), "Cannot change Addr if not closed");
  EXPECT_EQ(MessageOf([&] { sock.SetPort("1"); }), "Cannot change Port if not closed");
  EXPECT_EQ(MessageOf([&] { sock.SetProto("udp"); }), "Cannot change Proto if not closed");
  EXPECT_EQ(MessageOf([&] { sock.SetLocalAddr("127.0.0.1"); }), "Cannot change LocalAddr if not closed");
  EXPECT_EQ(MessageOf([&] { sock.SetLocalPort("1"); }), "Cannot change LocalPort if not closed");
  EXPECT_EQ(MessageOf([&] { sock.Connect(); }), "Connect: Socket already in use");

  TWSocket fresh(loop);
  EXPECT_EQ(MessageOf([&] { fresh.SetLocalAddr("1.2.3"); fresh.SetLocalAddr("x"); }),
            "SetLocalAddr(): Invalid IP address");
  fresh.SetLocalAddr("");
  EXPECT_EQ(fresh.LocalAddr(), "0.0.0.0");
  fresh.SetLocalAddr("127.000.000.001");
  EXPECT_EQ(fresh.LocalAddr(), "127.0.0.1");
}

TEST_F(WSocketTest, ConnectReportsMissingSettingsAndResolutionFailures) {
  TWSocket sock(loop);
  EXPECT_EQ(MessageOf([&] { sock.Connect(); }), "Connect: No Port Specified");
  sock.SetPort("6667");
  EXPECT_EQ(MessageOf([&] { sock.Connect(); }), "Connect: No IP Address Specified");
  sock.SetAddr("09.1.1.1");
  EXPECT_EQ(MessageOf([&] { sock.Connect(); }),
            "connect: WSocketResolveHost: '09.1.1.1' Invalid IP address.");
  sock.SetAddr("127.0.0.1");
  sock.SetPort("7000:1");
  EXPECT_EQ(MessageOf([&] { sock.Connect(); }), "connect: WSocketResolvePort: Invalid Port.");
  EXPECT_EQ(sock.State(), wsClosed);
}

TEST_F(WSocketTest, FailedLocalBindLeavesTheSocketOpenedUntilClosed) {
  TRawListener listener;
  TWSocket sock(loop);
  Record(sock);
  sock.SetAddr("127.0.0.1");
  sock.SetPort(listener.PortText());
  sock.SetLocalAddr("203.0.113.77");  // documentation range: no interface has it
  EXPECT_EQ(MessageOf([&] { sock.Connect(); }), "winsock.bind failed, error #10049");
  EXPECT_EQ(sock.State(), wsOpened);
  sock.Close();
  loop.RunUntilIdle();
  EXPECT_THAT(events, ElementsAre("state 7>1", "state 1>7", "closed 0 in 7"));
}

TEST_F(WSocketTest, LocalBindReadsTheBoundPortBack) {
  TRawListener listener;
  TWSocket sock(loop);
  sock.SetAddr("127.0.0.1");
  sock.SetPort(listener.PortText());
  sock.SetLocalAddr("127.0.0.1");
  sock.Connect();
  EXPECT_NE(sock.LocalPort(), "0");
  EXPECT_EQ(sock.LocalPort(), std::to_string(sock.BoundPort()));
}

TEST_F(WSocketTest, DataHandlerThatClosesOrDeletesItsOwnSocketEndsTheBurstQuietly) {
  TRawListener listener;
  TWSocket sock(loop);
  Record(sock, false);
  int calls = 0;
  sock.OnDataAvailable = [&](TWSocket* s, uint16_t) {
    ++calls;
    s->Close();  // leaves the data unread
  };
  auto peer = ConnectTo(sock, listener);
  peer->Send("QUIT\r\nmore\r\n");
  ASSERT_TRUE(loop.RunUntil([&] { return sock.State() == wsClosed; }, kWait));
  loop.RunUntilIdle();
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(events.back(), "closed 0 in 7");

  // Deleted with a line unread, the peer's end behind it and an answer sent:
  // nothing of the socket is touched after the handler, and the answer still
  // reaches the peer.
  auto owned = std::make_unique<TWSocket>(loop);
  Record(*owned, false);
  events.clear();
  owned->OnDataAvailable = [&](TWSocket* s, uint16_t) {
    std::string_view line;
    ASSERT_TRUE(s->ReceiveLine(line));
    s->SendLine("bye " + std::string(line));
    owned.reset();
  };
  auto deleted_peer = ConnectTo(*owned, listener);
  events.clear();
  deleted_peer->Send("QUIT\r\nmore\r\n");
  shutdown(deleted_peer->Fd(), SHUT_WR);
  ASSERT_TRUE(loop.RunUntil([&] { return owned == nullptr; }, kWait));
  ASSERT_TRUE(loop.RunUntil([&] { return deleted_peer->Eof(); }, kWait));
  loop.RunUntilIdle();
  EXPECT_EQ(deleted_peer->Received(), "bye QUIT\r\n");
  EXPECT_TRUE(events.empty());
}

// What is handed to Send before Close reaches the peer whole and in order, even
// when the peer's own lines were never read and the notice is larger than the OS
// takes at once.
TEST_F(WSocketTest, BytesSentRightBeforeCloseReachThePeer) {
  TRawListener listener;
  TWSocket sock(loop);
  std::string notice = "   You are banned, Bye.\r\n";
  while (notice.size() < 3 * 1024 * 1024) notice += std::string(97, 'n') + "\r\n";
  sock.OnDataAvailable = [&](TWSocket* s, uint16_t) {
    s->SendText(notice);
    s->Close();
  };
  auto peer = ConnectTo(sock, listener);
  peer->Send("NICK joe\r\nUSER joe 0 * :Joe\r\n");
  ASSERT_TRUE(loop.RunUntil([&] { return peer->Eof(); }, kWait));
  EXPECT_FALSE(peer->WasReset());
  EXPECT_EQ(peer->Received().size(), notice.size());
  EXPECT_TRUE(peer->Received() == notice);
  peer->Close();
  ASSERT_TRUE(loop.RunUntil([&] { return loop.Closer().Count() == 0; }, kWait));
}

TEST_F(WSocketTest, AbortDropsTheQueueAndResetsTheConnection) {
  auto peer = ConnectRecorded();
  link.SendText("dropped\r\n");
  link.Abort();
  loop.RunUntilIdle();
  EXPECT_THAT(events, ElementsAre("state 4>7", "closed 0 in 7"));
  ASSERT_TRUE(loop.RunUntil([&] { return peer->Eof(); }, kWait));
  EXPECT_TRUE(peer->WasReset());
  EXPECT_EQ(peer->Received(), "");
}

TEST_F(WSocketTest, PeerThatStopsReadingIsCutOffOnceTheQueueIsFull) {
  TRawListener listener;
  TWSocket sock(loop);
  Record(sock);
  auto peer = ConnectTo(sock, listener);
  peer->StopReading();
  events.clear();
  const std::string chunk(256 * 1024, 'x');
  for (int i = 0; i < 200 && sock.State() == wsConnected; ++i) {
    sock.SendText(chunk);
    EXPECT_TRUE(events.empty());  // never inside the Send that closed it
    loop.RunOnce(std::chrono::milliseconds(0));
  }
  EXPECT_EQ(sock.State(), wsClosed);
  EXPECT_EQ(sock.BufferedBytes(), 0u);
  EXPECT_THAT(events, ElementsAre("state 4>7", "closed 10055 in 7"));
}

TEST_F(WSocketTest, SendingToAResetPeerClosesWithoutKillingTheProcess) {
  TRawListener listener;
  TWSocket sock(loop);
  Record(sock, false);
  auto peer = ConnectTo(sock, listener);
  peer->Reset();
  events.clear();
  // The first write may still be taken by the OS; a later one meets the reset.
  // Either the write or the read finds it; the close events follow as a task.
  for (int i = 0; i < 10 && sock.State() == wsConnected; ++i) {
    sock.SendText("PRIVMSG #x :hi\r\n");
    loop.RunOnce(std::chrono::milliseconds(0));
  }
  ASSERT_TRUE(loop.RunUntil([&] { return sock.State() == wsClosed; }, kWait));
  loop.RunUntilIdle();
  EXPECT_THAT(events, Contains(HasSubstr("closed 10054")));
}

TEST_F(WSocketTest, HandlerExceptionAbortsTheSocketUnlessVetoed) {
  TRawListener listener;
  TWSocket sock(loop);
  sock.SetAddr("127.0.0.1");
  sock.SetPort(listener.PortText());
  sock.OnSessionConnected = [](TWSocket*, uint16_t) { throw std::runtime_error("boom"); };
  std::string seen;
  sock.OnBgException = [&](TWSocket*, const std::exception& e, bool&) { seen = e.what(); };
  sock.Connect();
  ASSERT_TRUE(loop.RunUntil([&] { return !seen.empty(); }, kWait));
  EXPECT_EQ(seen, "boom");
  EXPECT_EQ(sock.State(), wsClosed);

  TWSocket vetoed(loop);
  vetoed.SetAddr("127.0.0.1");
  vetoed.SetPort(listener.PortText());
  vetoed.OnSessionConnected = [](TWSocket*, uint16_t) { throw std::runtime_error("boom"); };
  bool asked = false;
  vetoed.OnBgException = [&](TWSocket*, const std::exception&, bool& can_close) {
    asked = true;
    can_close = false;
  };
  vetoed.Connect();
  ASSERT_TRUE(loop.RunUntil([&] { return asked; }, kWait));
  EXPECT_EQ(vetoed.State(), wsConnected);
}

}  // namespace
}  // namespace kelvox
