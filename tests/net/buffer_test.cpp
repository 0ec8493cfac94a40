#include "net/buffer.h"

#include <gtest/gtest.h>

#include <string>

namespace kelvox {
namespace {

TEST(BufferTest, GrowsMovesAndGivesItsMemoryBackOnceDrained) {
  TBuffer out;
  EXPECT_TRUE(out.Peek().empty());
  out.Write("0123456789");
  EXPECT_EQ(out.Remove(3), 3u);
  EXPECT_EQ(out.Peek(), "3456789");
  const std::string big(5000, 'x');
  out.Write(big);  // grows, keeping the unsent bytes in front
  EXPECT_EQ(out.Peek(), "3456789" + big);
  EXPECT_EQ(out.Shrink(), 0u);  // not while bytes wait
  EXPECT_EQ(out.Remove(100000), big.size() + 7);
  EXPECT_EQ(out.RdCount(), 0u);
  EXPECT_GT(out.Shrink(), TBuffer::kKeep);
  EXPECT_EQ(out.BufSize(), 0u);

  // Sent bytes in front make room for new ones without growing.
  out.Write(std::string(1000, 'a'));
  const std::size_t size = out.BufSize();
  out.Remove(990);
  out.Write(std::string(100, 'b'));
  EXPECT_EQ(out.BufSize(), size);
  EXPECT_EQ(out.RdCount(), 0u);
  EXPECT_EQ(out.Peek(), std::string(10, 'a') + std::string(100, 'b'));
}

}  // namespace
}  // namespace kelvox
