// The closer: what a closed connection still owes its peer is delivered, but
// no more descriptors wait for their peers than the limit allows.
#include "net/graceful_close.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

namespace kelvox {
namespace {

TEST(GracefulCloserTest, AFloodOfClosesHoldsNoMoreThanTheLimit) {
  TEventLoop loop;
  loop.Closer().SetLimit(8);
  std::vector<int> far_ends;
  for (int i = 0; i < 40; ++i) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, pair), 0);
    loop.Closer().Adopt(pair[0], "bye\r\n");  // the far end neither reads nor closes
    far_ends.push_back(pair[1]);
    EXPECT_LE(loop.Closer().Count(), 8u);
  }
  // Every one got its last bytes; the oldest were closed at once, the newest
  // still wait for their far end (which could still be heard).
  char buf[16];
  for (std::size_t i = 0; i < far_ends.size(); ++i) {
    EXPECT_EQ(read(far_ends[i], buf, sizeof buf), 5) << i;
    EXPECT_EQ(send(far_ends[i], "x", 1, MSG_NOSIGNAL), i < 32 ? -1 : 1) << i;
    close(far_ends[i]);
  }
  EXPECT_TRUE(loop.RunUntil([&] { return loop.Closer().Count() == 0; }, std::chrono::seconds(10)));
}

}  // namespace
}  // namespace kelvox
