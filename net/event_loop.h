// The one event loop: a single thread, a single ordered queue of tasks. Socket
// readiness, the socket layer's deferred messages and timer ticks all become tasks
// in that queue and run one at a time, each to completion, in posting order.
// Output is written behind: what a task sends is handed to the OS right after the
// task, once per socket, before the next task runs and before the loop polls.
#pragma once

#include <sys/epoll.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

#include "net/alive.h"

namespace kelvox {

class TGracefulCloser;

/// Something with output to hand to the OS after the task that wrote it.
class TFlushable {
 public:
  virtual void FlushOutput() = 0;

 protected:
  ~TFlushable() = default;
};

class TEventLoop {
 public:
  using Clock = std::chrono::steady_clock;
  using Task = std::function<void()>;
  using IoCallback = std::function<void(uint32_t events)>;
  using TimerKey = uint64_t;

  TEventLoop();
  ~TEventLoop();
  TEventLoop(const TEventLoop&) = delete;
  TEventLoop& operator=(const TEventLoop&) = delete;

  /// Appends a task to the queue. It runs after every task posted before it and
  /// never inside the caller. Event thread only.
  void Post(Task task);

  /// The one operation that another thread may call: hands a task over to the
  /// event thread, waking the loop. Tasks handed over keep their order among
  /// themselves and join the queue at the next poll, like a readiness event; the
  /// loop itself stays single-threaded. The caller must be done calling before
  /// the loop is destroyed.
  void PostFromThread(Task task);

  /// Level-triggered readiness of a descriptor (EPOLLIN, EPOLLOUT, ...). The
  /// callback runs while the loop polls: it may only inspect the descriptor and
  /// post tasks; handlers belong in the queue. Returns 0 or the errno of failure.
  int Watch(int fd, uint32_t events, IoCallback callback);
  void Modify(int fd, uint32_t events);
  void Unwatch(int fd);

  /// Calls `due` in the loop's timer phase once `when` has passed (same rule as
  /// for readiness callbacks: post, do not handle). Keys are never reused.
  TimerKey ScheduleAt(Clock::time_point when, Task due);
  void CancelTimer(TimerKey key);

  /// One turn: polls (waiting at most max_wait, and not at all when tasks are
  /// queued), posts what became ready or due, then runs the tasks queued at that
  /// point. Returns whether a task ran.
  bool RunOnce(std::chrono::milliseconds max_wait);
  /// Turns until a turn runs no task.
  void RunUntilIdle();
  /// For a host loop that drives this one (the desktop's): the epoll descriptor,
  /// readable while a watched descriptor is ready or another thread has handed a
  /// task over, and the milliseconds until the next turn has work without any
  /// readiness: 0 with tasks queued or output written outside a task, else until
  /// the earliest timer is due, -1 with no timer. The host turns with RunOnce(0).
  int PollHandle() const { return epoll_fd_; }
  int IdleWaitMs() const;
  /// Turns until done() holds (true) or the timeout passes (false). Tests drive
  /// the loop with this instead of sleeping.
  bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
  /// Turns until Quit() is called from a task.
  void Run();
  void Quit() { quit_ = true; }
  /// Quit() was called: a nested turn (a modal question) gives up its wait.
  bool Quitting() const { return quit_; }

  /// Where closed connections go to deliver their last bytes (see graceful_close.h).
  TGracefulCloser& Closer() { return *closer_; }

  /// Flushes `output` after the current task (or before the next poll when no
  /// task runs). The caller lists it once until its FlushOutput runs. FlushOutput
  /// may only hand bytes to the OS and post tasks: no handler runs there. The
  /// caller keeps `output` alive or calls CancelFlush first.
  void FlushAfterTask(TFlushable* output) { written_.push_back(output); }
  void CancelFlush(TFlushable* output);

  /// The buffer that reads land in: one per loop, lent to one read at a time.
  /// Null while it is lent (a read inside a nested turn brings its own).
  static constexpr std::size_t kReadBufferSize = 128 * 1024;
  char* LendReadBuffer();
  void ReturnReadBuffer() { read_buffer_lent_ = false; }

  /// Heap memory a socket, or what uses it, has given back. Once a megabyte
  /// has come back, the loop returns the free heap to the system a moment
  /// later, when bursts are over, so the process shrinks back towards its idle
  /// size.
  void NoteReleased(std::size_t bytes);

 private:
  void Poll(int timeout_ms);
  void TakeHandedOver();
  void FireDueTimers();
  bool RunQueued();
  void FlushWritten();
  int WaitFor(std::chrono::milliseconds max_wait) const;

  int epoll_fd_;
  bool quit_ = false;
  std::deque<Task> queue_;
  std::unordered_map<int, IoCallback> watchers_;
  TimerKey next_key_ = 1;
  std::map<std::pair<Clock::time_point, TimerKey>, Task> timers_;
  std::unordered_map<TimerKey, Clock::time_point> timer_deadlines_;
  std::unique_ptr<TGracefulCloser> closer_;
  std::vector<TFlushable*> written_;  // in the order first written
  std::unique_ptr<char[]> read_buffer_;
  bool read_buffer_lent_ = false;
  std::size_t released_ = 0;
  bool trim_scheduled_ = false;

  // The hand-over from other threads: an eventfd that the loop watches, and the
  // tasks waiting behind it. Only these two are shared between threads.
  int wake_fd_;
  std::mutex handed_over_mutex_;
  std::vector<Task> handed_over_;
};

/// A periodic timer whose ticks are tasks of the loop. Like a window timer: a tick
/// that is already queued is not queued twice, and disabling drops a queued tick.
class TTimer {
 public:
  using TNotifyEvent = std::function<void(TTimer* Sender)>;

  explicit TTimer(TEventLoop& loop);
  ~TTimer();
  TTimer(const TTimer&) = delete;
  TTimer& operator=(const TTimer&) = delete;

  int Interval() const { return interval_ms_; }
  /// Restarts the countdown when the timer runs.
  void SetInterval(int ms);
  bool Enabled() const { return enabled_; }
  /// Enabling (re)starts the countdown from now; a timer starts disabled.
  void SetEnabled(bool enabled);

  int Tag = 0;
  TNotifyEvent OnTimer;

 private:
  void Arm();
  void Disarm();
  void Due();

  TEventLoop& loop_;
  int interval_ms_ = 1000;
  bool enabled_ = false;
  bool armed_ = false;
  bool tick_queued_ = false;
  uint64_t generation_ = 0;
  TEventLoop::TimerKey key_ = 0;
  TAlive alive_;  // a tick queued before the timer's end does nothing
};

}  // namespace kelvox
