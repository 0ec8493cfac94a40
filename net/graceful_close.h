// Ends closed connections without losing what was sent before the close.
//
// When the program closes a connected socket, the socket object is closed at once
// (its state and events are those of a close), but the OS descriptor comes here:
// the bytes still queued are written, the sending direction is shut down, and what
// the peer still sends is read and dropped until it closes too, so that the kernel
// never answers unread input with a reset that would destroy the last notice on
// its way ("You are banned, Bye."). A peer that does not read or does not close
// within the timeout is cut off, and so is the oldest when more than a limit of
// descriptors wait here.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <utility>
#include <string>
#include <unordered_map>

#include "net/event_loop.h"

namespace kelvox {

class TGracefulCloser {
 public:
  /// Time a closed connection may take to deliver its bytes and see the peer close.
  static constexpr std::chrono::milliseconds kDefaultTimeout{5000};
  /// Descriptors held at most; adopting one more closes the oldest at once.
  static constexpr std::size_t kDefaultLimit = 128;

  explicit TGracefulCloser(TEventLoop& loop);
  /// Releases every descriptor still held, at once.
  ~TGracefulCloser();
  TGracefulCloser(const TGracefulCloser&) = delete;
  TGracefulCloser& operator=(const TGracefulCloser&) = delete;

  /// Takes over a connected descriptor and the bytes not yet handed to the OS.
  void Adopt(int fd, std::string unsent);
  /// Descriptors still being closed.
  std::size_t Count() const { return entries_.size(); }
  void SetTimeout(std::chrono::milliseconds timeout) { timeout_ = timeout; }
  void SetLimit(std::size_t limit) { limit_ = limit; }

 private:
  struct Entry {
    std::string unsent;
    bool peer_done = false;
    TEventLoop::TimerKey deadline = 0;
    uint64_t serial = 0;  // its place in the order of adoption
  };

  void OnReady(int fd, uint32_t events);
  // Writes what it can; false when the connection is broken.
  bool Flush(int fd, Entry& entry);
  void Finish(int fd, bool abortive);

  /// Cuts off the oldest entries until there is room for one more.
  void MakeRoom();

  TEventLoop& loop_;
  std::chrono::milliseconds timeout_ = kDefaultTimeout;
  std::size_t limit_ = kDefaultLimit;
  std::unordered_map<int, Entry> entries_;
  std::deque<std::pair<uint64_t, int>> order_;  // (serial, fd), oldest first; finished ones are skipped
  uint64_t next_serial_ = 1;
};

}  // namespace kelvox
