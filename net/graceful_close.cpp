#include "net/graceful_close.h"

#include <sys/socket.h>

#include "net/os_socket.h"
#include "net/wsocket_errors.h"

namespace kelvox {

TGracefulCloser::TGracefulCloser(TEventLoop& loop) : loop_(loop) {}

TGracefulCloser::~TGracefulCloser() {
  for (auto& [fd, entry] : entries_) {
    loop_.Unwatch(fd);
    loop_.CancelTimer(entry.deadline);
    os::CloseHandle(fd);
  }
}

void TGracefulCloser::MakeRoom() {
  // The front of the order drops what has finished meanwhile, so that it stays
  // as long as what arrived within one timeout at most.
  while (!order_.empty()) {
    const auto [serial, fd] = order_.front();
    const auto it = entries_.find(fd);
    const bool live = it != entries_.end() && it->second.serial == serial;
    if (live && entries_.size() < limit_) break;
    order_.pop_front();
    if (live) Finish(fd, !it->second.unsent.empty());
  }
}

void TGracefulCloser::Adopt(int fd, std::string unsent) {
  MakeRoom();
  // The socket may carry a zero linger time; from here on the close is ours.
  os::SetLinger(fd, false, 0);
  Entry& entry = entries_[fd];
  entry.unsent = std::move(unsent);
  entry.serial = next_serial_++;
  order_.emplace_back(entry.serial, fd);
  if (!Flush(fd, entry)) {
    entries_.erase(fd);
    os::CloseHandle(fd);
    return;
  }
  if (entry.unsent.empty()) os::Shutdown(fd, SHUT_WR);
  loop_.Watch(fd, EPOLLIN | EPOLLRDHUP | (entry.unsent.empty() ? 0u : uint32_t{EPOLLOUT}),
              [this, fd](uint32_t events) { OnReady(fd, events); });
  entry.deadline = loop_.ScheduleAt(TEventLoop::Clock::now() + timeout_, [this, fd] {
    // Not delivered in time: drop what is left rather than hold it forever.
    const auto it = entries_.find(fd);
    if (it != entries_.end()) Finish(fd, !it->second.unsent.empty());
  });
}

bool TGracefulCloser::Flush(int fd, Entry& entry) {
  while (!entry.unsent.empty()) {
    const ssize_t sent = os::SendBytes(fd, entry.unsent.data(), entry.unsent.size(), false);
    if (sent < 0) return os::LastError() == WSAEWOULDBLOCK;
    entry.unsent.erase(0, static_cast<std::size_t>(sent));
  }
  return true;
}

void TGracefulCloser::OnReady(int fd, uint32_t events) {
  const auto it = entries_.find(fd);
  if (it == entries_.end()) return;
  Entry& entry = it->second;
  if (events & EPOLLERR) return Finish(fd, true);
  if ((events & EPOLLOUT) && !entry.unsent.empty()) {
    if (!Flush(fd, entry)) return Finish(fd, true);
    if (entry.unsent.empty()) os::Shutdown(fd, SHUT_WR);
  }
  if (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP)) {
    char scratch[16384];
    for (;;) {
      const ssize_t got = os::ReceiveBytes(fd, scratch, sizeof scratch);
      if (got > 0) continue;
      if (got == 0) entry.peer_done = true;
      else if (os::LastError() != WSAEWOULDBLOCK) return Finish(fd, true);
      break;
    }
  }
  if (entry.peer_done && entry.unsent.empty()) return Finish(fd, false);
  loop_.Modify(fd, (entry.peer_done ? 0u : uint32_t{EPOLLIN | EPOLLRDHUP}) |
                       (entry.unsent.empty() ? 0u : uint32_t{EPOLLOUT}));
}

void TGracefulCloser::Finish(int fd, bool abortive) {
  const auto it = entries_.find(fd);
  if (it == entries_.end()) return;
  loop_.CancelTimer(it->second.deadline);
  entries_.erase(it);
  if (entries_.empty()) order_.clear();
  loop_.Unwatch(fd);
  if (abortive) os::SetLinger(fd, true, 0);
  os::CloseHandle(fd);
}

}  // namespace kelvox
