// Plain OS sockets on loopback for the other end of a test, watched by the test's
// event loop so that their arrivals wake it like any socket of the program.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <string_view>

#include "net/event_loop.h"

namespace kelvox::test {

inline constexpr std::chrono::milliseconds kWait{10000};

inline sockaddr_in Loopback(uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return sa;
}

/// A socket bound to 127.0.0.1 on a port the OS picks; the port is returned.
inline int BindLoopback(uint16_t& port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  const sockaddr_in sa = Loopback(0);
  bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
  sockaddr_in bound{};
  socklen_t len = sizeof bound;
  getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len);
  port = ntohs(bound.sin_port);
  return fd;
}

/// ::1 on a port of the OS's choosing (port 0) or the given one.
inline sockaddr_in6 Loopback6(uint16_t port) {
  sockaddr_in6 sa{};
  sa.sin6_family = AF_INET6;
  sa.sin6_port = htons(port);
  sa.sin6_addr = in6addr_loopback;
  return sa;
}

/// A socket bound to ::1 on a port the OS picks (-1 when the machine has no
/// IPv6 loopback); the port is returned.
inline int BindLoopback6(uint16_t& port) {
  const int fd = socket(AF_INET6, SOCK_STREAM, 0);
  const sockaddr_in6 sa = Loopback6(0);
  if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  sockaddr_in6 bound{};
  socklen_t len = sizeof bound;
  getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len);
  port = ntohs(bound.sin6_port);
  return fd;
}

/// Whether ::1 can be used here; tests over IPv6 skip without it.
inline bool HaveIpv6Loopback() {
  uint16_t port = 0;
  const int fd = BindLoopback6(port);
  if (fd < 0) return false;
  close(fd);
  return true;
}

#define KELVOX_NEED_IPV6()                                                         \
  do {                                                                             \
    if (!::kelvox::test::HaveIpv6Loopback()) GTEST_SKIP() << "no ::1 on this machine"; \
  } while (false)

/// Picks the family of a test's own connection.
struct TOverIpv6 {};

/// A port nothing uses at this moment, for a program to listen on. It comes
/// from below the system's range of ephemeral ports: a port from that range may
/// be taken, between this probe and the program's listen, as the local end of
/// some other test's outgoing connection, and the listen would fail.
/// Successive calls give different ports, so two programs can be given theirs
/// before either listens.
inline uint16_t FreeListenPort() {
  constexpr int kFirst = 20000;
  constexpr int kCount = 12000;
  static int next = static_cast<int>(static_cast<unsigned>(getpid()) * 7919u % kCount);
  for (int i = 0; i < kCount; ++i) {
    const auto port = static_cast<uint16_t>(kFirst + next++ % kCount);
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(port);
    const bool bound = bind(fd, reinterpret_cast<const sockaddr*>(&any), sizeof any) == 0;
    close(fd);
    if (bound) return port;
  }
  return 0;
}

/// A connection of the test's own: blocking connect and writes (or queued
/// writes that the loop completes), reads gathered from the event loop; it
/// closes when the other end has closed.
class TRawPeer {
 public:
  TRawPeer(TEventLoop& loop, uint16_t port) : loop_(loop), fd_(socket(AF_INET, SOCK_STREAM, 0)) {
    const sockaddr_in sa = Loopback(port);
    connected_ = connect(fd_, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0;
    fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
    loop_.Watch(fd_, Interest(), [this](uint32_t events) { OnReady(events); });
  }
  /// Connects to ::1 instead.
  TRawPeer(TEventLoop& loop, uint16_t port, TOverIpv6) : loop_(loop), fd_(socket(AF_INET6, SOCK_STREAM, 0)) {
    const sockaddr_in6 sa = Loopback6(port);
    connected_ = connect(fd_, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0;
    fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
    loop_.Watch(fd_, Interest(), [this](uint32_t events) { OnReady(events); });
  }
  /// Adopts a descriptor accepted by the test.
  TRawPeer(TEventLoop& loop, int fd, bool) : loop_(loop), fd_(fd), connected_(true) {
    fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
    loop_.Watch(fd_, Interest(), [this](uint32_t events) { OnReady(events); });
  }
  ~TRawPeer() { Close(); }
  TRawPeer(const TRawPeer&) = delete;
  TRawPeer& operator=(const TRawPeer&) = delete;

  bool Connected() const { return connected_; }
  int Fd() const { return fd_; }
  /// Writes everything, waiting for room when needed.
  void Send(std::string_view data) {
    while (!data.empty()) {
      const ssize_t n = send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
      if (n > 0) data.remove_prefix(static_cast<std::size_t>(n));
      else if (n < 0 && errno != EAGAIN) return;
    }
  }
  /// Writes what the OS takes now; the loop writes the rest as room comes.
  void Queue(std::string_view data) {
    out_.append(data);
    Write();
  }
  const std::string& Received() const { return received_; }
  bool Eof() const { return eof_; }
  bool WasReset() const { return reset_; }
  /// Stops reading: arrivals pile up in the kernel.
  void StopReading() {
    reading_ = false;
    Rewatch();
  }
  void ResumeReading() {
    reading_ = true;
    Rewatch();
  }
  /// Ends with a reset instead of an orderly close.
  void Reset() {
    linger l{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    Close();
  }
  void Close() {
    if (fd_ < 0) return;
    loop_.Unwatch(fd_);
    close(fd_);
    fd_ = -1;
  }

 private:
  uint32_t Interest() const { return (reading_ ? EPOLLIN | EPOLLRDHUP : 0u) | (out_.empty() ? 0u : EPOLLOUT); }
  void Rewatch() {
    if (fd_ >= 0) loop_.Modify(fd_, Interest());
  }
  void OnReady(uint32_t events) {
    if (events & EPOLLOUT) Write();
    if (reading_ && (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR))) Drain();
  }
  void Write() {
    while (!out_.empty() && fd_ >= 0) {
      const ssize_t n = send(fd_, out_.data(), out_.size(), MSG_NOSIGNAL);
      if (n <= 0) break;
      out_.erase(0, static_cast<std::size_t>(n));
    }
    Rewatch();
  }
  void Drain() {
    char buf[65536];
    for (;;) {
      const ssize_t n = recv(fd_, buf, sizeof buf, 0);
      if (n > 0) {
        received_.append(buf, static_cast<std::size_t>(n));
        continue;
      }
      if (n == 0 || errno != EAGAIN) {
        // Like an IRC client, the peer closes its end when the other has.
        reset_ = n < 0 && errno == ECONNRESET;
        eof_ = true;
        Close();
      }
      return;
    }
  }

  TEventLoop& loop_;
  int fd_;
  bool connected_ = false;
  bool reading_ = true;
  bool eof_ = false;
  bool reset_ = false;
  std::string received_;
  std::string out_;
};

/// A listening OS socket on 127.0.0.1 with a port of its own choosing.
class TRawListener {
 public:
  TRawListener() : fd_(BindLoopback(port_)) { listen(fd_, 16); }
  /// On ::1 instead (check HaveIpv6Loopback first).
  explicit TRawListener(TOverIpv6) : fd_(BindLoopback6(port_)) { listen(fd_, 16); }
  ~TRawListener() { close(fd_); }
  TRawListener(const TRawListener&) = delete;
  TRawListener& operator=(const TRawListener&) = delete;

  uint16_t Port() const { return port_; }
  std::string PortText() const { return std::to_string(port_); }
  /// Takes a connection that the kernel has already completed.
  int Accept() { return accept(fd_, nullptr, nullptr); }

 private:
  uint16_t port_ = 0;
  int fd_;
};

/// A port on 127.0.0.1 that nothing listens on (bound, never listening).
class TClosedPort {
 public:
  TClosedPort() : fd_(BindLoopback(port_)) {}
  ~TClosedPort() { close(fd_); }
  TClosedPort(const TClosedPort&) = delete;
  TClosedPort& operator=(const TClosedPort&) = delete;
  std::string PortText() const { return std::to_string(port_); }

 private:
  uint16_t port_ = 0;
  int fd_;
};

}  // namespace kelvox::test
