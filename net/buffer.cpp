#include "net/buffer.h"

#include <algorithm>
#include <cstring>

namespace kelvox {

TBuffer::TBuffer(int size)
    : buf_size_(size <= 0 ? kDefaultSize : size), buf_(new char[static_cast<std::size_t>(buf_size_)]) {}

int TBuffer::Write(const char* data, int len) {
  const int count = std::clamp(len, 0, buf_size_ - wr_count_);
  if (count > 0) std::memcpy(buf_.get() + wr_count_, data, static_cast<std::size_t>(count));
  wr_count_ += count;
  return count;
}

std::pair<const char*, int> TBuffer::Peek() const {
  const int unsent = wr_count_ - rd_count_;
  if (unsent <= 0) return {nullptr, 0};
  return {buf_.get() + rd_count_, unsent};
}

int TBuffer::Remove(int len) {
  const int count = std::clamp(len, 0, wr_count_ - rd_count_);
  rd_count_ += count;
  if (rd_count_ >= wr_count_) rd_count_ = wr_count_ = 0;
  return count;
}

}  // namespace kelvox
