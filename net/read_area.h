// Where one read of a socket puts its bytes, private to the socket layer: the
// plain read and the TLS read both land here.
#pragma once

#include <cstddef>
#include <memory>

#include "net/event_loop.h"

namespace kelvox {

/// The room for one read, after the unfinished line that goes in front of its
/// bytes: the loop's buffer, unless a read up the stack holds it, else a buffer
/// of its own. The loop's is given back when the area goes.
class TReadArea {
 public:
  TReadArea(TEventLoop& loop, std::size_t kept)
      : loop_(loop), base_(kept <= TEventLoop::kReadBufferSize / 2 ? loop.LendReadBuffer() : nullptr),
        lent_(base_ != nullptr) {
    if (base_ == nullptr) {
      capacity_ = kept + TEventLoop::kReadBufferSize / 2;
      own_.reset(new char[capacity_]);
      base_ = own_.get();
    }
  }
  ~TReadArea() {
    if (lent_) loop_.ReturnReadBuffer();
  }
  TReadArea(const TReadArea&) = delete;
  TReadArea& operator=(const TReadArea&) = delete;

  char* Base() const { return base_; }
  std::size_t Capacity() const { return capacity_; }

 private:
  TEventLoop& loop_;
  char* base_;
  bool lent_;
  std::size_t capacity_ = TEventLoop::kReadBufferSize;
  std::unique_ptr<char[]> own_;
};

}  // namespace kelvox
