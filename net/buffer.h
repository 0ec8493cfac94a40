// A socket's output: one contiguous run of bytes that the OS has not taken yet.
// Bytes are written at the back (WrCount) and handed to the OS from the front
// (RdCount); the buffer grows as needed and starts over from its beginning once
// everything written has been sent.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <string_view>

namespace kelvox {

class TBuffer {
 public:
  /// Capacity that Shrink keeps; beyond it the memory goes back to the heap.
  static constexpr std::size_t kKeep = 1024;

  TBuffer() = default;
  ~TBuffer() { std::free(buf_); }
  TBuffer(const TBuffer&) = delete;
  TBuffer& operator=(const TBuffer&) = delete;

  /// Appends the bytes after WrCount, moving or growing the buffer when they do
  /// not fit.
  void Write(std::string_view data);
  /// The unsent region; empty when there is none.
  std::string_view Peek() const { return {buf_ + rd_count_, wr_count_ - rd_count_}; }
  /// Marks up to len unsent bytes as sent and returns that count. When everything
  /// written has been sent, the buffer starts over from its beginning.
  std::size_t Remove(std::size_t len);
  /// Drops every unsent byte.
  void Clear() { rd_count_ = wr_count_ = 0; }
  /// Gives back the capacity beyond kKeep when the buffer is empty; returns the
  /// bytes given back.
  std::size_t Shrink();

  bool Empty() const { return rd_count_ == wr_count_; }
  std::size_t Size() const { return wr_count_ - rd_count_; }
  std::size_t BufSize() const { return buf_size_; }
  std::size_t RdCount() const { return rd_count_; }
  std::size_t WrCount() const { return wr_count_; }

 private:
  // From malloc, so that growing a large buffer remaps its pages instead of
  // copying them (and holding both copies for a moment).
  char* buf_ = nullptr;
  std::size_t buf_size_ = 0;
  std::size_t rd_count_ = 0;
  std::size_t wr_count_ = 0;
};

}  // namespace kelvox
