#include "net/buffer.h"

#include <algorithm>
#include <cstring>

namespace kelvox {

void TBuffer::Write(std::string_view data) {
  if (data.size() > buf_size_ - wr_count_) {
    const std::size_t unsent = Size();
    if (unsent + data.size() <= buf_size_ / 2) {
      // Plenty of room once the sent bytes in front are gone.
      std::memmove(buf_.get(), buf_.get() + rd_count_, unsent);
    } else {
      const std::size_t size = std::max({buf_size_ * 2, unsent + data.size(), kKeep});
      std::unique_ptr<char[]> grown(new char[size]);  // not zero-filled: written before read
      if (unsent > 0) std::memcpy(grown.get(), buf_.get() + rd_count_, unsent);
      buf_ = std::move(grown);
      buf_size_ = size;
    }
    rd_count_ = 0;
    wr_count_ = unsent;
  }
  if (!data.empty()) std::memcpy(buf_.get() + wr_count_, data.data(), data.size());
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
  buf_.reset();
  buf_size_ = 0;
  rd_count_ = wr_count_ = 0;
  return released;
}

}  // namespace kelvox
