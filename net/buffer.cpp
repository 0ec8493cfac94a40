#include "net/buffer.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace kelvox {

void TBuffer::Write(std::string_view data) {
  if (data.size() > buf_size_ - wr_count_) {
    const std::size_t unsent = Size();
    if (unsent + data.size() <= buf_size_ / 2) {
      // Plenty of room once the sent bytes in front are gone.
      std::memmove(buf_, buf_ + rd_count_, unsent);
      rd_count_ = 0;
      wr_count_ = unsent;
    } else {
      const std::size_t size = std::max({buf_size_ * 2, wr_count_ + data.size(), kKeep});
      char* grown = static_cast<char*>(std::realloc(buf_, size));
      if (grown == nullptr) throw std::bad_alloc();
      buf_ = grown;
      buf_size_ = size;
    }
  }
  if (!data.empty()) std::memcpy(buf_ + wr_count_, data.data(), data.size());
  wr_count_ += data.size();
}

std::size_t TBuffer::Remove(std::size_t len) {
  const std::size_t count = std::min(len, Size());
  rd_count_ += count;
  if (rd_count_ == wr_count_) rd_count_ = wr_count_ = 0;
  return count;
}

std::size_t TBuffer::Shrink() {
  if (!Empty() || buf_size_ <= kKeep) return 0;
  const std::size_t released = buf_size_;
  std::free(buf_);
  buf_ = nullptr;
  buf_size_ = 0;
  rd_count_ = wr_count_ = 0;
  return released;
}

}  // namespace kelvox
