#include "net/event_loop.h"

#include <malloc.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <system_error>

#include "net/graceful_close.h"

namespace kelvox {

using std::chrono::milliseconds;

TEventLoop::TEventLoop()
    : epoll_fd_(epoll_create1(EPOLL_CLOEXEC)), wake_fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  if (epoll_fd_ < 0 || wake_fd_ < 0) {
    const int error = errno;
    if (epoll_fd_ >= 0) close(epoll_fd_);
    if (wake_fd_ >= 0) close(wake_fd_);
    throw std::system_error(error, std::generic_category(), "event loop");
  }
  closer_ = std::make_unique<TGracefulCloser>(*this);
  Watch(wake_fd_, EPOLLIN, [this](uint32_t) { TakeHandedOver(); });
}

TEventLoop::~TEventLoop() {
  closer_.reset();
  close(wake_fd_);
  close(epoll_fd_);
}

void TEventLoop::Post(Task task) { queue_.push_back(std::move(task)); }

void TEventLoop::CancelFlush(TFlushable* output) {
  written_.erase(std::remove(written_.begin(), written_.end(), output), written_.end());
}

void TEventLoop::FlushWritten() {
  // A flush posts at most; it never writes to another socket, so the list does
  // not grow while it is walked.
  for (std::size_t i = 0; i < written_.size(); ++i) written_[i]->FlushOutput();
  written_.clear();
}

char* TEventLoop::LendReadBuffer() {
  if (read_buffer_lent_) return nullptr;
  if (!read_buffer_) read_buffer_.reset(new char[kReadBufferSize]);
  read_buffer_lent_ = true;
  return read_buffer_.get();
}

void TEventLoop::NoteReleased(std::size_t bytes) {
  constexpr std::size_t kTrimAfter = 1024 * 1024;
  constexpr milliseconds kTrimDelay{2000};
  released_ += bytes;
  if (released_ < kTrimAfter || trim_scheduled_) return;
  // Not at once: during a burst the same memory is wanted again right away.
  trim_scheduled_ = true;
  ScheduleAt(Clock::now() + kTrimDelay, [this] {
    trim_scheduled_ = false;
    released_ = 0;
    malloc_trim(0);
  });
}

void TEventLoop::PostFromThread(Task task) {
  {
    const std::lock_guard<std::mutex> lock(handed_over_mutex_);
    handed_over_.push_back(std::move(task));
  }
  // The counter only wakes the loop; a write that fails because the counter is
  // full still leaves it readable.
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = write(wake_fd_, &one, sizeof one);
}

void TEventLoop::TakeHandedOver() {
  uint64_t count = 0;
  [[maybe_unused]] const ssize_t got = read(wake_fd_, &count, sizeof count);
  std::vector<Task> tasks;
  {
    const std::lock_guard<std::mutex> lock(handed_over_mutex_);
    tasks.swap(handed_over_);
  }
  for (Task& task : tasks) Post(std::move(task));
}

int TEventLoop::Watch(int fd, uint32_t events, IoCallback callback) {
  epoll_event ev{};
  ev.events = events;
  ev.data.fd = fd;
  if (epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &ev) != 0) return errno;
  watchers_[fd] = std::move(callback);
  return 0;
}

void TEventLoop::Modify(int fd, uint32_t events) {
  epoll_event ev{};
  ev.events = events;
  ev.data.fd = fd;
  epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, fd, &ev);
}

void TEventLoop::Unwatch(int fd) {
  if (watchers_.erase(fd) != 0) epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd, nullptr);
}

TEventLoop::TimerKey TEventLoop::ScheduleAt(Clock::time_point when, Task due) {
  const TimerKey key = next_key_++;
  timers_.emplace(std::make_pair(when, key), std::move(due));
  timer_deadlines_.emplace(key, when);
  return key;
}

void TEventLoop::CancelTimer(TimerKey key) {
  const auto it = timer_deadlines_.find(key);
  if (it == timer_deadlines_.end()) return;
  timers_.erase(std::make_pair(it->second, key));
  timer_deadlines_.erase(it);
}

int TEventLoop::WaitFor(milliseconds max_wait) const {
  if (!queue_.empty()) return 0;
  milliseconds wait = std::max(max_wait, milliseconds(0));
  if (!timers_.empty()) {
    const auto until_next = timers_.begin()->first.first - Clock::now();
    // Round up so that the turn that wakes finds the timer due.
    const auto next = std::chrono::ceil<milliseconds>(until_next);
    wait = std::clamp(next, milliseconds(0), wait);
  }
  return static_cast<int>(std::min<milliseconds::rep>(wait.count(), 1 << 30));
}

void TEventLoop::Poll(int timeout_ms) {
  epoll_event events[64];
  const int n = epoll_wait(epoll_fd_, events, 64, timeout_ms);
  for (int i = 0; i < n; ++i) {
    // Look the watcher up afresh: an earlier callback of this batch may have
    // dropped it.
    const auto it = watchers_.find(events[i].data.fd);
    if (it != watchers_.end()) {
      IoCallback callback = it->second;
      callback(events[i].events);
    }
  }
}

void TEventLoop::FireDueTimers() {
  const auto now = Clock::now();
  while (!timers_.empty() && timers_.begin()->first.first <= now) {
    auto node = timers_.extract(timers_.begin());
    timer_deadlines_.erase(node.key().second);
    node.mapped()();
  }
}

bool TEventLoop::RunQueued() {
  // Only what is queued now: tasks posted by these tasks wait for the next turn,
  // behind the readiness of the next poll.
  // A task may run a nested turn (a modal question does), which takes tasks from
  // the same queue: hence the second test.
  const std::size_t count = queue_.size();
  for (std::size_t i = 0; i < count && !queue_.empty(); ++i) {
    Task task = std::move(queue_.front());
    queue_.pop_front();
    task();
    FlushWritten();
  }
  return count > 0;
}

int TEventLoop::IdleWaitMs() const {
  if (!queue_.empty() || !written_.empty()) return 0;
  if (timers_.empty()) return -1;
  return WaitFor(milliseconds(1 << 30));
}

bool TEventLoop::RunOnce(milliseconds max_wait) {
  FlushWritten();  // what was sent outside any task
  Poll(WaitFor(max_wait));
  FireDueTimers();
  return RunQueued();
}

void TEventLoop::RunUntilIdle() {
  while (RunOnce(milliseconds(0))) {
  }
}

bool TEventLoop::RunUntil(const std::function<bool()>& done, milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!done()) {
    const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    RunOnce(std::min(left, milliseconds(100)));
  }
  return true;
}

void TEventLoop::Run() {
  quit_ = false;
  while (!quit_) RunOnce(milliseconds(60000));
}

// ---------------------------------------------------------------------------

TTimer::TTimer(TEventLoop& loop) : loop_(loop) {}

TTimer::~TTimer() { Disarm(); }

void TTimer::SetInterval(int ms) {
  if (ms == interval_ms_) return;
  interval_ms_ = ms;
  Disarm();
  Arm();
}

void TTimer::SetEnabled(bool enabled) {
  if (enabled == enabled_) return;
  enabled_ = enabled;
  Disarm();
  Arm();
}

void TTimer::Arm() {
  if (!enabled_ || interval_ms_ <= 0) return;
  armed_ = true;
  key_ = loop_.ScheduleAt(TEventLoop::Clock::now() + std::chrono::milliseconds(interval_ms_),
                          [this] { Due(); });
}

void TTimer::Disarm() {
  if (armed_) loop_.CancelTimer(key_);
  armed_ = false;
  tick_queued_ = false;
  ++generation_;  // a tick already queued is void
}

void TTimer::Due() {
  key_ = loop_.ScheduleAt(TEventLoop::Clock::now() + std::chrono::milliseconds(interval_ms_),
                          [this] { Due(); });
  if (tick_queued_) return;
  tick_queued_ = true;
  loop_.Post(alive_.Guard([this, generation = generation_] {
    if (generation != generation_) return;
    tick_queued_ = false;
    if (OnTimer) OnTimer(this);
  }));
}

}  // namespace kelvox
