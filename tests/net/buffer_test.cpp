#include "net/buffer.h"

#include <gtest/gtest.h>

#include <string>

namespace kelvox {
namespace {

TEST(BufferTest, WritesUpToCapacityAndReusesSpaceOnceDrained) {
  EXPECT_EQ(TBuffer(0).BufSize(), 1514);
  EXPECT_EQ(TBuffer(-3).BufSize(), 1514);

  TBuffer chunk(8);
  EXPECT_EQ(chunk.Peek().second, 0);
  EXPECT_EQ(chunk.Write("0123456789", 10), 8);
  EXPECT_EQ(chunk.Write("x", 1), 0);  // full
  EXPECT_EQ(chunk.Remove(3), 3);
  const auto [data, len] = chunk.Peek();
  EXPECT_EQ(std::string(data, static_cast<std::size_t>(len)), "34567");
  EXPECT_EQ(chunk.Write("x", 1), 0);  // space is reused only when all is sent
  EXPECT_EQ(chunk.Remove(100), 5);
  EXPECT_EQ(chunk.RdCount(), 0);
  EXPECT_EQ(chunk.WrCount(), 0);
  EXPECT_EQ(chunk.Write("ab", 2), 2);
}

}  // namespace
}  // namespace kelvox
