#include "console/control_socket.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <optional>

#include "base/typed_lines.h"
#include "net/graceful_close.h"

namespace kelvox {

/// One attached console: its connection, the lines it types as tasks, and what
/// it is sent, kept until the connection takes it.
class TControlSocket::TAttached final : public TConsoleSink, public TFlushable {
  /// The task, run only while this console lives.
  template <class F>
  auto Guarded(F task) {
    return [watch = Watch(), task = std::move(task)] {
      if (!watch.Gone()) task();
    };
  }

 public:
  TAttached(TControlSocket& owner, int fd) : owner_(owner), loop_(owner.loop_), fd_(fd) {
    // Readiness only posts: what it leads to runs as a task.
    loop_.Watch(fd_, EPOLLIN, [this](uint32_t events) { loop_.Post(Guarded([this, events] { OnReady(events); })); });
  }
  ~TAttached() {
    if (fd_ >= 0) Release(false);
  }
  TAttached(const TAttached&) = delete;
  TAttached& operator=(const TAttached&) = delete;

  void Write(std::string_view lines) override {
    if (dropping_) return;
    if (out_.size() + lines.size() > owner_.output_limit_) return Dropped();
    out_.append(lines);
    if (!listed_) loop_.FlushAfterTask(this);
    listed_ = true;
  }

  void FlushOutput() override {
    listed_ = false;
    Send();
  }

  /// Its descriptor unwatched and closed, or handed with its unsent output to
  /// the loop's closer.
  void Release(bool closer) {
    loop_.Unwatch(fd_);
    if (listed_) loop_.CancelFlush(this);
    listed_ = false;
    if (closer) {
      loop_.Closer().Adopt(fd_, std::move(out_));
    } else {
      // Best effort: what the connection takes at once, the rest dropped.
      if (!out_.empty()) [[maybe_unused]] const ssize_t sent = ::send(fd_, out_.data(), out_.size(), MSG_NOSIGNAL);
      ::close(fd_);
    }
    fd_ = -1;
  }

 private:
  /// The connection is broken or the console too far behind: it goes, as a
  /// task of its own (a write comes while the text console walks its consoles).
  void Dropped() {
    if (dropping_) return;
    dropping_ = true;
    loop_.Post(Guarded([this] { owner_.Drop(*this); }));
  }

  void OnReady(uint32_t events) {
    if (dropping_) return;
    if (events & EPOLLOUT) Send();
    if (reading_ && (events & (EPOLLIN | EPOLLHUP | EPOLLERR))) {
      Read();
    } else if (!reading_ && (events & (EPOLLHUP | EPOLLERR))) {
      Dropped();  // gone before its end was dealt with
    }
  }

  void Send() {
    while (!out_.empty() && !dropping_) {
      const ssize_t sent = ::send(fd_, out_.data(), out_.size(), MSG_NOSIGNAL);
      if (sent < 0 && errno == EINTR) continue;
      if (sent < 0 && errno == EAGAIN) break;
      if (sent < 0) return Dropped();
      out_.erase(0, static_cast<std::size_t>(sent));
    }
    Rewatch();
  }

  void Read() {
    char buf[4096];
    const ssize_t got = ::recv(fd_, buf, sizeof buf, 0);
    if (got < 0) {
      if (errno != EAGAIN && errno != EINTR) Dropped();
      return;
    }
    if (got == 0) {
      reading_ = false;
      Rewatch();
      if (!partial_.empty()) PostLine(std::exchange(partial_, {}));
      loop_.Post(Guarded([this] {
        if (owner_.OnEnd) owner_.OnEnd(*this);
      }));
      return;
    }
    partial_.append(buf, static_cast<std::size_t>(got));
    while (std::optional<std::string> line = TakeLine(partial_)) PostLine(std::move(*line));
    if (partial_.size() > kLineLimit) Dropped();
  }

  void PostLine(std::string line) {
    loop_.Post(Guarded([this, line = std::move(line)] {
      if (owner_.OnLine) owner_.OnLine(*this, line);
    }));
  }

  /// Watched for input until its end, for output while some waits.
  void Rewatch() {
    const uint32_t events = (reading_ ? uint32_t{EPOLLIN} : 0u) | (out_.empty() ? 0u : uint32_t{EPOLLOUT});
    if (events != watched_) loop_.Modify(fd_, events);
    watched_ = events;
  }

  TControlSocket& owner_;
  TEventLoop& loop_;
  int fd_;
  std::string partial_;  // the start of a line not yet ended
  std::string out_;      // not yet taken by the connection
  bool listed_ = false;  // to be flushed after the task
  bool reading_ = true;
  bool dropping_ = false;
  uint32_t watched_ = EPOLLIN;
};

TControlSocket::TControlSocket(TEventLoop& loop, TTextConsole& console) : loop_(loop), console_(console) {}

TControlSocket::~TControlSocket() {
  Close();
  for (const auto& attached : consoles_) console_.Detach(*attached);
  consoles_.clear();
}

int TControlSocket::Listen(const std::string& path) {
  Close();
  listener_ = ListenLocal(path);
  if (listener_.Fd < 0) return listener_.Error;
  path_ = path;
  WatchListener();
  return 0;
}

void TControlSocket::WatchListener() {
  loop_.Watch(listener_.Fd, EPOLLIN, [this](uint32_t) { loop_.Post(alive_.Guard([this] { Accept(); })); });
}

void TControlSocket::Close() {
  if (listener_.Fd < 0) return;
  loop_.Unwatch(listener_.Fd);
  CloseLocal(listener_, path_);
}

void TControlSocket::Accept() {
  while (listener_.Fd >= 0) {
    const int fd = ::accept4(listener_.Fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0 && (errno == EINTR || errno == ECONNABORTED)) continue;
    if (fd < 0 && (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)) {
      // Out of descriptors: the waiting connection would wake the loop at
      // every turn. Listen again a second later.
      const int listening = listener_.Fd;
      loop_.Unwatch(listening);
      loop_.ScheduleAt(TEventLoop::Clock::now() + std::chrono::seconds(1), alive_.Guard([this, listening] {
        loop_.Post(alive_.Guard([this, listening] {
          if (listener_.Fd == listening) WatchListener();
        }));
      }));
      return;
    }
    if (fd < 0) return;
    if (consoles_.size() >= kConsoleLimit) {
      ::close(fd);
      continue;
    }
    consoles_.push_back(std::make_unique<TAttached>(*this, fd));
    console_.Attach(*consoles_.back());
  }
}

void TControlSocket::Detach(TConsoleSink& from) {
  const auto it = std::find_if(consoles_.begin(), consoles_.end(),
                               [&](const auto& attached) { return attached.get() == &from; });
  if (it == consoles_.end()) return;
  console_.Detach(**it);
  Remove(**it, true);
}

void TControlSocket::Drop(TAttached& console) {
  console_.Detach(console);
  Remove(console, false);
}

void TControlSocket::Remove(TAttached& console, bool closer) {
  console.Release(closer);
  std::erase_if(consoles_, [&](const auto& attached) { return attached.get() == &console; });
}

}  // namespace kelvox
