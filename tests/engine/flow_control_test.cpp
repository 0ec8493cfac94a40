// The relay under load: a side that stops reading holds the other back instead
// of being cut off, a flood does not starve other users, a stalled user ends,
// and a user broken in the middle of a burst loses only its own lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "tests/engine/socket_fixture.h"

namespace kelvox::test {
namespace {

constexpr std::size_t kMiB = 1024 * 1024;

class FlowControlTest : public SocketBouncerTest {
 protected:
  void SetUp() override {
    SocketBouncerTest::SetUp();
    Start();
  }

  /// Numbered lines of about 100 bytes, `bytes` in all.
  static std::string Burst(const std::string& prefix, std::size_t bytes) {
    std::string lines;
    for (int i = 0; lines.size() < bytes; ++i) {
      const std::string number = std::to_string(i);
      lines += prefix + number + std::string(100 - prefix.size() - number.size() - 2, '.') + "\r\n";
    }
    return lines;
  }

  /// Waits until the peer has received `count` bytes since `from`, then compares.
  void ExpectBytes(TRawPeer& peer, std::size_t from, const std::string& bytes) {
    ASSERT_TRUE(loop.RunUntil([&] { return peer.Received().size() >= from + bytes.size(); }, kWait));
    EXPECT_TRUE(peer.Received().compare(from, bytes.size(), bytes) == 0);
  }

  TRawListener irc;
};

// Three times what the bouncer would hold for a user before cutting it off.
const std::size_t kBurst = 3 * TWSocket::kMaxSendQueue;

TEST_F(FlowControlTest, UserWhoStopsReadingHoldsTheServerBackAndGetsEveryLine) {
  TRawPeer& user = GreetedUser();
  auto server = LinkUser(user, irc, "joe");
  const std::size_t seen = user.Received().size();
  user.StopReading();
  const std::string burst = Burst(":srv PRIVMSG joe :", kBurst);
  server->Queue(burst);
  // How much the kernels hold meanwhile depends on their buffers; the bouncer
  // holds no more than its high mark and one read.
  ASSERT_TRUE(loop.RunUntil([&] { return LinkSocket(0).ReadingPaused(); }, kWait));
  EXPECT_LE(UserSocket(0).BufferedBytes(), TWSocket::kHighWaterMark + TEventLoop::kReadBufferSize);
  user.ResumeReading();
  ExpectBytes(user, seen, burst);
  EXPECT_EQ(bouncer.UserCount(), 1);
  EXPECT_FALSE(LinkSocket(0).ReadingPaused());
}

TEST_F(FlowControlTest, ServerThatStopsReadingHoldsTheUserBack) {
  TRawPeer& user = GreetedUser();
  auto server = LinkUser(user, irc, "joe");
  const std::size_t seen = server->Received().size();
  server->StopReading();
  const std::string burst = Burst("PRIVMSG #kelvox :", kBurst);
  user.Queue(burst);
  ASSERT_TRUE(loop.RunUntil([&] { return UserSocket(0).ReadingPaused(); }, kWait));
  EXPECT_LE(LinkSocket(0).BufferedBytes(), TWSocket::kHighWaterMark + TEventLoop::kReadBufferSize);
  server->ResumeReading();
  ExpectBytes(*server, seen, burst);
  EXPECT_EQ(bouncer.UserCount(), 1);
}

TEST_F(FlowControlTest, AFloodingUserDoesNotHoldUpAnotherUsersPing) {
  TRawPeer& flooder = GreetedUser();
  auto server = LinkUser(flooder, irc, "joe");
  TRawPeer& other = GreetedUser();
  flooder.Queue(Burst("PRIVMSG #kelvox :", 8 * kMiB));
  TWSocket* flood = &UserSocket(0);
  ASSERT_TRUE(loop.RunUntil([&] { return flood->ReadCount() > static_cast<int64_t>(kMiB); }, kWait));
  const int64_t before = flood->ReadCount();
  other.Send("PING :other\r\n");
  ExpectNext(other, "PONG :other\r\n");
  // Between the PING and its answer, at most a read budget per turn of the flood.
  EXPECT_LE(flood->ReadCount() - before, static_cast<int64_t>(3 * TWSocket::kReadBudget));
}

TEST_F(FlowControlTest, AHoldThatDoesNotMoveEndsTheUser) {
  bouncer.Sessions().Limits.Stall = std::chrono::milliseconds(200);
  bouncer.Sessions().WatchInterval = std::chrono::milliseconds(20);
  TRawPeer& user = GreetedUser();
  auto server = LinkUser(user, irc, "joe");
  user.StopReading();
  server->Queue(Burst(":srv PRIVMSG joe :", kBurst));
  WaitUsers(0);
  user.ResumeReading();
  WaitClosed(user);
  const std::string bye = Notice("   Too far behind, bye.\r\n", "joe");
  ASSERT_GE(user.Received().size(), bye.size());
  EXPECT_EQ(user.Received().substr(user.Received().size() - bye.size()), bye);
}

// The server's burst for one user reaches the bouncer before that user's reset
// does, so sending to the user fails in the middle of it.
TEST_F(FlowControlTest, AUserBrokenInTheMiddleOfABurstLosesOnlyItsOwnLines) {
  TRawPeer& ann = GreetedUser();
  auto server_ann = LinkUser(ann, irc, "ann");
  TRawPeer& bob = GreetedUser();
  auto server_bob = LinkUser(bob, irc, "bob");
  const std::size_t seen = server_ann->Received().size();
  server_ann->Queue(Burst(":srv PRIVMSG ann :", 30000) + "PING :1\r\n" + Burst(":srv PRIVMSG ann :", 60000) +
                    "PING :2\r\n" + Burst(":srv PRIVMSG ann :", 30000));
  ann.Reset();
  server_bob->Send(":srv PRIVMSG bob :yours\r\n");
  ExpectNext(bob, ":srv PRIVMSG bob :yours\r\n");
  ASSERT_TRUE(loop.RunUntil([&] { return server_ann->Eof(); }, kWait));
  EXPECT_EQ(server_ann->Received().substr(seen), "PONG :1\r\nPONG :2\r\n");
  loop.RunUntilIdle();
  ExpectNothingMore(bob);
}

}  // namespace
}  // namespace kelvox::test
