// Host lookups off the event thread. getaddrinfo runs on a few worker threads
// of its own, and each answer comes back as a task of the loop with the
// addresses in the resolver's order. A lookup that outlasts its limit fails as
// a name that is not there; its late answer is dropped. Nothing here ever
// blocks the loop.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "net/alive.h"
#include "net/event_loop.h"
#include "net/ip_address.h"

namespace kelvox {

class TResolver {
 public:
  /// A Windows Sockets error (0 when found) and the addresses of both
  /// families (IPv6 and IPv4), in the resolver's order.
  using TAnswer = std::function<void(int error, const std::vector<TIpAddress>& addresses)>;
  /// What looks a name up on a worker thread: the system's resolver by default.
  using TLookup = std::function<int(const std::string& name, std::vector<TIpAddress>& addresses)>;

  /// The longest a lookup may take before it counts as failed.
  static constexpr std::chrono::seconds kLimit{10};
  /// Lookups that run at once; more wait for a free worker.
  static constexpr std::size_t kWorkers = 4;

  /// The system's resolver unless another lookup is given.
  explicit TResolver(TEventLoop& loop, TLookup lookup = {});
  /// Answers no more. A lookup still running ends on its own thread; its answer
  /// is dropped.
  ~TResolver();
  TResolver(const TResolver&) = delete;
  TResolver& operator=(const TResolver&) = delete;

  /// Looks `name` up; `done` runs later, as a task, exactly once: with the
  /// answer, or with 11002 (WSATRY_AGAIN) once the limit has passed.
  void Lookup(const std::string& name, TAnswer done);
  void SetLimit(std::chrono::milliseconds limit) { limit_ = limit; }

 private:
  struct TShared;
  void Answer(uint64_t id, int error, const std::vector<TIpAddress>& addresses);

  TEventLoop& loop_;
  std::shared_ptr<TShared> shared_;
  std::chrono::milliseconds limit_ = kLimit;
  uint64_t next_id_ = 1;
  struct TWaiting {
    TAnswer done;
    TEventLoop::TimerKey deadline = 0;
  };
  std::unordered_map<uint64_t, TWaiting> waiting_;
  TAlive alive_;  // for the answers that come after the end
};

}  // namespace kelvox
