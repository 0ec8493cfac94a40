// One chunk of a socket's send queue.
#pragma once

#include <memory>
#include <utility>

namespace kelvox {

class TBuffer {
 public:
  static constexpr int kDefaultSize = 1514;

  /// A size of 0 or less gives the default chunk size.
  explicit TBuffer(int size = kDefaultSize);

  /// Copies as much of data as fits after WrCount; returns that count (0 when full).
  int Write(const char* data, int len);
  /// The unsent region: pointer and length (length 0 when there is none).
  std::pair<const char*, int> Peek() const;
  /// Marks up to len unsent bytes as sent and returns that count. When everything
  /// written has been sent, the chunk starts over from its beginning.
  int Remove(int len);

  int BufSize() const { return buf_size_; }
  int RdCount() const { return rd_count_; }
  int WrCount() const { return wr_count_; }

 private:
  int buf_size_;
  std::unique_ptr<char[]> buf_;
  int rd_count_ = 0;
  int wr_count_ = 0;
};

}  // namespace kelvox
