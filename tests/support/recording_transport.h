// A transport without sockets for engine tests: the test plays the users, the
// IRC servers and the resolver. What the engine sends is recorded; what a peer
// sends, a connect's outcome, a close and a lookup's answer come when the test
// says, as tasks of the loop, in the socket layer's order of events.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/transport.h"
#include "net/event_loop.h"
#include "net/wsocket_errors.h"

namespace kelvox::test {

class TRecordingConnection;

/// The far end of one connection, as the test plays it. It outlives the
/// engine's connection object, so a test can read what a user was sent after
/// the user has gone.
class TRecordingPeer {
 public:
  TRecordingPeer(TEventLoop& loop, std::string address, TSocketState state)
      : loop_(loop), address_(std::move(address)), state_(state) {}

  /// Bytes from the peer; the engine hears of them in a task, unless paused.
  void Receive(std::string_view bytes) {
    in_.append(bytes);
    if (!paused_) PostData();
  }
  /// Everything the engine sent since the last Take.
  std::string Take() { return std::exchange(sent_, std::string()); }
  const std::string& Sent() const { return sent_; }
  /// The peer ends the connection (error 0) or breaks it: OnSessionClosed while
  /// still connected, then the change to closed.
  void PeerCloses(uint16_t error = 0);
  /// The connect attempt's outcome (0: connected), as the socket layer reports it.
  void Answer(uint16_t error = 0);
  /// The output rises above its high mark (at once, as inside a Send) or is back
  /// at the low one (a task).
  void SetBufferHigh(bool high);

  TSocketState State() const { return state_; }
  bool Paused() const { return paused_; }
  /// The engine's Close calls.
  int Closes() const { return closes_; }
  /// "local>address:port" of the last Connect; empty before one.
  const std::string& ConnectedTo() const { return connected_to_; }
  /// Makes the next Connect raise this failure (a step and a number).
  std::optional<ESocketException> FailConnect;
  /// What a TLS handshake failed with, as the engine reads it: a link's, or
  /// a user's before the peer closes.
  std::string TlsFailure;

 private:
  friend class TRecordingConnection;
  void PostData();
  // Closed at once; the events follow (in the same task when the peer ended
  // it, in a task of their own when the engine did).
  void EndWith(uint16_t error, bool now);

  TEventLoop& loop_;
  std::string address_;
  TSocketState state_;
  TRecordingConnection* connection_ = nullptr;  // the engine's object, while it lives
  int last_error_ = 0;
  std::string sent_;
  std::string in_;
  std::size_t read_ = 0;
  std::string line_;
  bool paused_ = false;
  bool high_ = false;
  bool closed_notified_ = false;
  int closes_ = 0;
  std::string connected_to_;
};

/// The engine's side of a recorded connection.
class TRecordingConnection : public TConnection {
 public:
  explicit TRecordingConnection(TRecordingPeer& peer) : peer_(peer) { peer_.connection_ = this; }
  ~TRecordingConnection() override { peer_.connection_ = nullptr; }

  TSocketState State() const override { return peer_.state_; }
  int LastError() const override { return peer_.last_error_; }
  std::string PeerAddr() const override { return peer_.address_; }
  void SendText(std::string_view text) override {
    if (peer_.state_ != wsConnected) throw ESocketException(TSocketStep::kSend, WSAENOTCONN);
    peer_.sent_.append(text);
  }
  void SendLine(std::string_view text) override {
    SendText(text);
    SendText("\r\n");
  }
  bool ReceiveLine(std::string_view& line) override {
    const std::size_t lf = peer_.in_.find('\n', peer_.read_);
    if (lf == std::string::npos) return false;
    peer_.line_ = peer_.in_.substr(peer_.read_, lf - peer_.read_);
    peer_.read_ = lf + 1;
    std::erase(peer_.line_, '\r');
    line = peer_.line_;
    return true;
  }
  std::string_view UnreadText() const override { return std::string_view(peer_.in_).substr(peer_.read_); }
  void Close() override {
    ++peer_.closes_;
    peer_.EndWith(0, false);
  }
  void Connect(const std::string& local_addr, const std::string& addr, uint16_t port) override {
    if (peer_.FailConnect) throw *peer_.FailConnect;
    peer_.connected_to_ = local_addr + ">" + addr + ":" + std::to_string(port);
    peer_.state_ = wsConnecting;
    peer_.closed_notified_ = false;  // a link used again after a failed attempt
    peer_.last_error_ = 0;
  }
  /// Recorded as Connect, then " tls NAME" and " fp=PIN" when one is given.
  void ConnectTls(const std::string& local_addr, const std::string& addr, uint16_t port,
                  const TTlsClientOptions& tls) override {
    Connect(local_addr, addr, port);
    peer_.connected_to_ += " tls " + tls.HostName + (tls.Fingerprint.empty() ? "" : " fp=" + tls.Fingerprint);
  }
  std::string TlsError() const override { return peer_.TlsFailure; }
  bool TlsHandshakeFailed() const override { return !peer_.TlsFailure.empty(); }
  bool BufferHigh() const override { return peer_.high_; }
  int64_t WriteCount() const override { return static_cast<int64_t>(peer_.sent_.size()); }
  void PauseReading() override { peer_.paused_ = true; }
  void ResumeReading() override {
    peer_.paused_ = false;
    if (peer_.read_ < peer_.in_.size()) peer_.PostData();
  }

 private:
  TRecordingPeer& peer_;
};

inline void TRecordingPeer::PostData() {
  loop_.Post([this] {
    if (connection_ != nullptr && state_ == wsConnected && !paused_ && read_ < in_.size() &&
        connection_->OnDataAvailable) {
      connection_->OnDataAvailable(connection_, 0);
    }
  });
}

inline void TRecordingPeer::PeerCloses(uint16_t error) {
  loop_.Post([this, error] {
    if (connection_ == nullptr || state_ != wsConnected) return;
    closed_notified_ = true;
    if (connection_->OnSessionClosed) connection_->OnSessionClosed(connection_, error);
    EndWith(0, true);
  });
}

inline void TRecordingPeer::Answer(uint16_t error) {
  loop_.Post([this, error] {
    if (connection_ == nullptr || state_ != wsConnecting) return;
    last_error_ = error;
    state_ = wsConnected;
    if (connection_->OnChangeState) connection_->OnChangeState(connection_, wsConnecting, wsConnected);
    if (connection_ != nullptr && connection_->OnSessionConnected) connection_->OnSessionConnected(connection_, error);
    if (error != 0) EndWith(0, true);
  });
}

inline void TRecordingPeer::SetBufferHigh(bool high) {
  high_ = high;
  if (high && connection_ != nullptr && connection_->OnBufferHigh) connection_->OnBufferHigh(connection_);
  if (!high) {
    loop_.Post([this] {
      if (connection_ != nullptr && connection_->OnBufferLow) connection_->OnBufferLow(connection_);
    });
  }
}

inline void TRecordingPeer::EndWith(uint16_t error, bool now) {
  if (state_ == wsClosed) return;
  const TSocketState old = state_;
  state_ = wsClosed;
  const bool notify = !closed_notified_;
  closed_notified_ = true;
  auto fire = [this, old, notify, error] {
    if (connection_ != nullptr && connection_->OnChangeState) connection_->OnChangeState(connection_, old, wsClosed);
    if (notify && connection_ != nullptr && connection_->OnSessionClosed) {
      connection_->OnSessionClosed(connection_, error);
    }
  };
  if (now) {
    fire();
  } else {
    loop_.Post(fire);
  }
}

class TRecordingListener : public TListener {
 public:
  void Listen(const std::string& port) override {
    if (FailListen) throw *FailListen;
    port_ = port;
    listening_ = true;
  }
  void SetTls(std::shared_ptr<TTlsServerContext> context) override { Context = std::move(context); }
  void Close() override { listening_ = false; }
  bool Listening() const override { return listening_; }
  int BoundPort() const override { return listening_ ? std::atoi(port_.c_str()) : 0; }

  /// Makes Listen raise this failure.
  std::optional<ESocketException> FailListen;
  /// The certificate of the sessions taken (SetTls).
  std::shared_ptr<TTlsServerContext> Context;

 private:
  bool listening_ = false;
  std::string port_;
};

class TRecordingTransport : public TTransport {
 public:
  explicit TRecordingTransport(TEventLoop& loop) : loop_(loop) {}

  TListener& Listener() override { return listener_; }
  TListener& TlsListener() override { return tls_listener_; }
  std::unique_ptr<TConnection> NewConnection() override {
    links_.push_back(std::make_unique<TRecordingPeer>(loop_, "", wsClosed));
    return std::make_unique<TRecordingConnection>(*links_.back());
  }
  /// Dotted addresses and the names in Hosts are answered at once (in a task);
  /// others wait for Resolve or Fail.
  void ResolveHost(const std::string& name, std::function<void(const TResolution&)> done) override {
    ++lookups_;
    if (WSocketIsDotted(name) || name.find(':') != std::string::npos) return Answer(std::move(done), {{name}, 0});
    if (const auto host = Hosts.find(name); host != Hosts.end()) return Answer(std::move(done), {{host->second}, 0});
    waiting_.emplace_back(name, std::move(done));
  }

  // --- the test's side --------------------------------------------------------
  /// A user connects from `address`; the engine takes it at once.
  TRecordingPeer& Accept(const std::string& address = "10.0.0.1") {
    users_.push_back(std::make_unique<TRecordingPeer>(loop_, address, wsConnected));
    TRecordingPeer& user = *users_.back();
    if (listener_.OnAccept) listener_.OnAccept(std::make_unique<TRecordingConnection>(user));
    return user;
  }
  /// Answers the oldest waiting lookup of `name` with an address or, when
  /// `address` is empty, as a name that does not exist.
  void Resolve(const std::string& name, const std::string& address) {
    address.empty() ? Fail(name) : ResolveAll(name, {address});
  }
  /// Answers the oldest waiting lookup of `name` with several addresses, in order.
  void ResolveAll(const std::string& name, const std::vector<std::string>& addresses) {
    AnswerWaiting(name, {addresses, 0});
  }
  /// Answers the oldest waiting lookup of `name` with a failure.
  void Fail(const std::string& name, int error = WSAHOST_NOT_FOUND) { AnswerWaiting(name, {{}, error}); }
  /// Answers the oldest waiting lookup, whatever its name, like Resolve.
  void ResolveOldest(const std::string& address) {
    if (!waiting_.empty()) Resolve(std::string(waiting_.front().first), address);
  }
  std::size_t Waiting() const { return waiting_.size(); }
  /// Lookups asked for so far.
  int Lookups() const { return lookups_; }

  /// Names answered at once.
  std::map<std::string, std::string> Hosts;
  /// The far ends of the links made so far, oldest first.
  TRecordingPeer& Link(std::size_t index) { return *links_.at(index); }
  std::size_t LinkCount() const { return links_.size(); }
  TRecordingListener& RecordingListener() { return listener_; }
  TRecordingListener& RecordingTlsListener() { return tls_listener_; }

 private:
  static bool WSocketIsDotted(const std::string& name) {
    int dots = 0;
    for (const char c : name) {
      if (c == '.') {
        ++dots;
      } else if (c < '0' || c > '9') {
        return false;
      }
    }
    return dots == 3;
  }
  void AnswerWaiting(const std::string& name, TResolution answer) {
    for (auto it = waiting_.begin(); it != waiting_.end(); ++it) {
      if (it->first != name) continue;
      auto done = std::move(it->second);
      waiting_.erase(it);
      return Answer(std::move(done), std::move(answer));
    }
  }
  void Answer(std::function<void(const TResolution&)> done, TResolution answer) {
    loop_.Post([done = std::move(done), answer = std::move(answer)] { done(answer); });
  }

  TEventLoop& loop_;
  TRecordingListener listener_;
  TRecordingListener tls_listener_;
  std::vector<std::unique_ptr<TRecordingPeer>> users_;
  std::vector<std::unique_ptr<TRecordingPeer>> links_;
  std::vector<std::pair<std::string, std::function<void(const TResolution&)>>> waiting_;
  int lookups_ = 0;
};

}  // namespace kelvox::test
