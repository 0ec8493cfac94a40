// Whether an object still exists, for the work that may outlive it: a task it
// posted about itself, an answer that comes back from another thread, or the
// rest of one of its own member functions after a handler ran (a socket's data
// handler may delete the socket). One rule for all of them, here.
#pragma once

#include <memory>
#include <utility>

namespace kelvox {

/// An object's life as its later work sees it. The owner holds a TAlive member,
/// which dies with it. Work that may run after the owner has died takes a
/// Watch() while the owner surely lives (before posting, before calling a
/// handler) and asks Gone() before it touches the owner again; Guard(task)
/// wraps a task that way, so that it does nothing once the owner has died.
/// A watch costs one reference count to take and one load to ask. Watches may
/// be copied and carried on any thread, but only the owner's own thread (the
/// event thread) may trust a Gone() that says false.
class TAlive {
 public:
  class TWatch {
   public:
    /// A watch of nothing: Gone() from the start.
    TWatch() = default;
    bool Gone() const { return life_.expired(); }

   private:
    friend class TAlive;
    explicit TWatch(const std::shared_ptr<char>& life) : life_(life) {}
    std::weak_ptr<char> life_;
  };

  TAlive() = default;
  // A life belongs to one object where it is: it is neither copied nor moved.
  TAlive(const TAlive&) = delete;
  TAlive& operator=(const TAlive&) = delete;

  TWatch Watch() const { return TWatch(life_); }
  /// `task` (any arguments), run only while the owner lives.
  template <class F>
  auto Guard(F task) const {
    return [watch = Watch(), task = std::move(task)](auto&&... args) {
      if (!watch.Gone()) task(std::forward<decltype(args)>(args)...);
    };
  }

 private:
  std::shared_ptr<char> life_ = std::make_shared<char>();
};

}  // namespace kelvox
