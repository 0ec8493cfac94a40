// A tiny HTTP server on 127.0.0.1 for the update check's tests, driven by the
// test's event loop: it takes each request's head, asks the test for the answer
// and sends it, or holds the request until the test answers it.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "net/event_loop.h"
#include "tests/support/loopback.h"

namespace kelvox::test {

class THttpServer {
 public:
  /// A whole response: status line, Content-Length, Connection: close, the
  /// extra header lines (each ending in CR LF), the body.
  static std::string Response(int status, const std::string& reason, const std::string& body,
                              const std::string& headers = "") {
    return "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\nContent-Type: text/html\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\nConnection: close\r\n" + headers + "\r\n" + body;
  }

  explicit THttpServer(TEventLoop& loop) : loop_(loop), fd_(BindLoopback(port_)) {
    listen(fd_, 16);
    fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
    loop_.Watch(fd_, EPOLLIN, [this](uint32_t) { AcceptAll(); });
  }
  ~THttpServer() {
    for (auto& exchange : exchanges_) CloseExchange(*exchange);
    loop_.Unwatch(fd_);
    close(fd_);
  }
  THttpServer(const THttpServer&) = delete;
  THttpServer& operator=(const THttpServer&) = delete;

  uint16_t Port() const { return port_; }
  std::string Url(const std::string& path = "/version.html") const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }

  /// The answer to a request, given its head and its number (0 for the first);
  /// nullopt holds it until Answer. Unset, every request is held.
  std::function<std::optional<std::string>(const std::string& head, std::size_t number)> Responder;

  /// When not empty: sent to every connection as soon as it is accepted,
  /// before any request, as a server of another protocol would.
  std::string AnswerAtOnce;

  /// The heads of the requests received so far, in arrival order.
  std::vector<std::string> Heads() const {
    std::vector<std::string> heads;
    for (const auto& exchange : exchanges_) {
      if (exchange->HeadDone) heads.push_back(exchange->Head);
    }
    return heads;
  }
  /// Answers a held request; nothing when the client has gone.
  void Answer(std::size_t number, const std::string& response) {
    for (auto& exchange : exchanges_) {
      if (exchange->HeadDone && exchange->Number == number) Send(*exchange, response);
    }
  }
  /// Whether the client of the request has closed its connection.
  bool ClientGone(std::size_t number) const {
    for (const auto& exchange : exchanges_) {
      if (exchange->HeadDone && exchange->Number == number) return exchange->Fd < 0;
    }
    return false;
  }

 private:
  struct TExchange {
    int Fd = -1;
    std::string Head;
    bool HeadDone = false;
    std::size_t Number = 0;
  };

  void AcceptAll() {
    for (;;) {
      const int fd = accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) return;
      auto exchange = std::make_unique<TExchange>();
      exchange->Fd = fd;
      TExchange* const raw = exchange.get();
      exchanges_.push_back(std::move(exchange));
      loop_.Watch(fd, EPOLLIN | EPOLLRDHUP, [this, raw](uint32_t) { Read(*raw); });
      if (!AnswerAtOnce.empty()) Send(*raw, AnswerAtOnce);
    }
  }

  void Read(TExchange& exchange) {
    char buf[4096];
    for (;;) {
      const ssize_t n = recv(exchange.Fd, buf, sizeof buf, 0);
      if (n > 0) {
        if (!exchange.HeadDone) exchange.Head.append(buf, static_cast<std::size_t>(n));
        continue;
      }
      if (n == 0 || errno != EAGAIN) {
        CloseExchange(exchange);
        return;
      }
      break;
    }
    const std::size_t end = exchange.Head.find("\r\n\r\n");
    if (exchange.HeadDone || end == std::string::npos) return;
    exchange.Head.resize(end + 4);
    exchange.HeadDone = true;
    exchange.Number = requests_++;
    // The answer is a task of its own, as the socket layer's handlers are.
    loop_.Post([this, &exchange] {
      std::optional<std::string> response;
      if (Responder) response = Responder(exchange.Head, exchange.Number);
      if (response) Send(exchange, *response);
    });
  }

  void Send(TExchange& exchange, std::string_view bytes) {
    if (exchange.Fd < 0) return;
    while (!bytes.empty()) {
      const ssize_t n = send(exchange.Fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n > 0) bytes.remove_prefix(static_cast<std::size_t>(n));
      else if (n < 0 && errno != EAGAIN) break;
    }
    shutdown(exchange.Fd, SHUT_WR);
  }

  void CloseExchange(TExchange& exchange) {
    if (exchange.Fd < 0) return;
    loop_.Unwatch(exchange.Fd);
    close(exchange.Fd);
    exchange.Fd = -1;
  }

  TEventLoop& loop_;
  uint16_t port_ = 0;
  int fd_;
  std::size_t requests_ = 0;
  std::vector<std::unique_ptr<TExchange>> exchanges_;
};

}  // namespace kelvox::test
