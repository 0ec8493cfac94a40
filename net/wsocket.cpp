#include "net/wsocket.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>

#include "net/graceful_close.h"
#include "net/os_socket.h"
#include "net/resolve.h"

namespace kelvox {

namespace {

constexpr uint32_t kReadInterest = EPOLLIN | EPOLLRDHUP;

bool IsFatalSendError(int err) {
  return err == WSAECONNRESET || err == WSAENOTSOCK || err == WSAENOTCONN || err == WSAEINVAL ||
         err == WSAECONNABORTED;
}

}  // namespace

TWSocket::TWSocket(TEventLoop& loop) : loop_(loop) { ResetDefaults(); }

TWSocket::~TWSocket() {
  destroying_ = true;
  try {
    if (state_ != wsClosed || handle_ >= 0) Close();
  } catch (...) {
    // Destruction goes on whatever the close raised.
  }
}

// --- settings ---------------------------------------------------------------

// Addr, Port and Proto: the same text again changes nothing; another one only
// while closed. A non-empty text is assigned and must be resolved anew.
void TWSocket::SetRemoteText(const std::string& text, const char* name, std::string& stored, bool& assigned,
                             bool& resolved) {
  const std::string value = TrimControls(text);
  if (assigned && value == stored) return;
  if (state_ != wsClosed) throw ESocketException(std::string("Cannot change ") + name + " if not closed");
  stored = value;
  assigned = !value.empty();
  if (assigned) resolved = false;
}

void TWSocket::SetAddr(const std::string& text) { SetRemoteText(text, "Addr", addr_, addr_assigned_, addr_resolved_); }
void TWSocket::SetPort(const std::string& text) { SetRemoteText(text, "Port", port_, port_assigned_, port_resolved_); }
void TWSocket::SetProto(const std::string& text) {
  SetRemoteText(text, "Proto", proto_, proto_assigned_, proto_resolved_);
}

void TWSocket::SetLocalAddr(const std::string& text) {
  if (state_ != wsClosed) throw ESocketException("Cannot change LocalAddr if not closed");
  const std::string value = text.empty() ? "0.0.0.0" : text;
  uint32_t addr = 0;
  if (!os::ParseAddressStrict(value, addr)) {
    throw ESocketException("SetLocalAddr(): Invalid IP address");
  }
  local_addr_ = os::DottedText(addr);
}

void TWSocket::SetLocalPort(const std::string& text) {
  if (state_ != wsClosed) throw ESocketException("Cannot change LocalPort if not closed");
  local_port_ = text;
  local_port_resolved_ = false;
}

void TWSocket::ResetDefaults() {
  proto_ = "tcp";
  proto_assigned_ = proto_resolved_ = true;
  proto_number_ = 6;
  socket_type_ = SOCK_STREAM;
  addr_assigned_ = addr_resolved_ = false;
  port_assigned_ = port_resolved_ = false;
  local_addr_ = "0.0.0.0";
  local_port_ = "0";
  local_port_resolved_ = false;
  LingerOnOff = wsLingerOn;
  LingerTimeout = 0;
  handle_ = -1;
  state_ = wsClosed;
  all_sent_ = true;
  read_count_ = 0;
  close_notified_ = false;
  FlushTimeout = 60;
}

// --- state and messages -----------------------------------------------------

void TWSocket::ChangeState(TSocketState state) {
  const TSocketState old = state_;
  state_ = state;
  if (old != state) TriggerChangeState(old, state);
}

void TWSocket::TriggerChangeState(TSocketState OldState, TSocketState NewState) {
  if (OnChangeState) OnChangeState(this, OldState, NewState);
}
void TWSocket::TriggerSessionConnected(uint16_t Error) {
  if (OnSessionConnected) OnSessionConnected(this, Error);
}
void TWSocket::TriggerSessionClosed(uint16_t Error) {
  if (OnSessionClosed) OnSessionClosed(this, Error);
}
void TWSocket::TriggerDataSent(uint16_t Error) {
  if (OnDataSent) OnDataSent(this, Error);
}
void TWSocket::TriggerSessionAvailable(uint16_t Error) {
  if (OnSessionAvailable) OnSessionAvailable(this, Error);
}
bool TWSocket::TriggerDataAvailable(uint16_t Error) {
  if (!OnDataAvailable) return false;
  OnDataAvailable(this, Error);
  return true;
}

void TWSocket::TakeHandle(int fd, bool established) {
  handle_ = fd;
  ++serial_;
  notify_queued_ = false;
  established_ = established;
}

void TWSocket::WatchHandle(uint32_t events, const char* step) {
  interest_ = events;
  const int err = loop_.Watch(handle_, events, [this](uint32_t ready) { OnReadiness(ready); });
  if (err != 0) FireError(step, WsaFromErrno(err));
}

void TWSocket::PostMessage(unsigned bits, uint16_t error, bool from_poll) {
  loop_.Post([this, life = std::weak_ptr<int>(life_), serial = serial_, bits, error, from_poll] {
    if (!life.expired()) Dispatch(serial, bits, error, from_poll);
  });
}

// Runs while the loop polls: turns readiness into one message, as the platform
// would post it, and leaves the handling to the queue.
void TWSocket::OnReadiness(uint32_t events) {
  if (notify_queued_ || handle_ < 0) return;
  unsigned bits = 0;
  uint16_t error = 0;
  switch (state_) {
    case wsListening:
      if (events & EPOLLIN) bits = kFdAccept;
      break;
    case wsConnecting:
      if (events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) {
        bits = kFdConnect;
        error = static_cast<uint16_t>(os::PendingError(handle_));
      }
      break;
    case wsConnected:
      if (events & EPOLLOUT) bits |= kFdWrite;
      if (events & (EPOLLERR | EPOLLHUP | EPOLLRDHUP)) {
        bits |= kFdClose;
        error = static_cast<uint16_t>(os::PendingError(handle_));
      } else if (events & EPOLLIN) {
        // Readable with nothing to read is the end of the stream.
        bits |= os::PendingBytes(handle_) > 0 ? kFdRead : kFdClose;
      }
      break;
    default:
      break;
  }
  if (bits == 0) return;
  notify_queued_ = true;
  PostMessage(bits, error, true);
}

void TWSocket::Dispatch(uint64_t serial, unsigned bits, uint16_t error, bool from_poll) {
  if (from_poll && serial == serial_) notify_queued_ = false;
  // A message for a handle that has since been closed is stale.
  if (!IsCurrent(serial)) return;
  const std::weak_ptr<int> life = life_;
  try {
    if (bits & kFdConnect) {
      // The outcome of the attempt, readable from the state-change handler that
      // fires before the connected event.
      last_error_ = error;
      if (error == 0) {
        established_ = true;
        UpdateInterest();
      }
      ChangeState(wsConnected);
      if (life.expired()) return;
      TriggerSessionConnected(error);
      if (life.expired()) return;
      if (error != 0 && state_ != wsClosed) Close();
    }
    if ((bits & kFdRead) && IsCurrent(serial)) ReceiveLoop(error);
    if (life.expired()) return;
    if ((bits & kFdWrite) && IsCurrent(serial)) {
      TryToSend();
      if (all_sent_ && IsCurrent(serial)) TriggerDataSent(error);
    }
    if (life.expired()) return;
    if ((bits & kFdAccept) && IsCurrent(serial)) TriggerSessionAvailable(error);
    if (life.expired()) return;
    if ((bits & kFdClose) && IsCurrent(serial) && state_ != wsConnecting) {
      ReceiveLoop(0);
      if (life.expired()) return;
      if (!close_notified_) {
        close_notified_ = true;
        TriggerSessionClosed(error);
        if (life.expired()) return;
      }
      if (state_ != wsClosed) Close();
    }
  } catch (const std::exception& e) {
    if (!life.expired()) HandleBackgroundException(e);
  }
}

void TWSocket::HandleBackgroundException(const std::exception& e) {
  bool can_close = true;
  try {
    if (OnBgException) OnBgException(this, e, can_close);
    if (can_close) Abort();
  } catch (...) {
    // Nothing is reported: a failing recovery must not take the loop down.
  }
}

void TWSocket::ReceiveLoop(uint16_t error) {
  const std::weak_ptr<int> life = life_;
  for (;;) {
    last_error_ = 0;
    try {
      if (!TriggerDataAvailable(error)) {
        char scratch[1024];
        if (Receive(scratch, sizeof scratch) < 0 && last_error_ == WSAEWOULDBLOCK) break;
      }
    } catch (...) {
      return;  // a failing data handler ends this burst, without a report
    }
    if (life.expired()) return;
    if ((ComponentOptions & wsoNoReceiveLoop) || last_error_ != 0 || handle_ < 0) break;
    const int pending = os::PendingBytes(handle_);
    if (pending < 0) {
      last_error_ = os::LastError();
      break;
    }
    if (pending == 0) break;
  }
}

// --- errors -----------------------------------------------------------------

void TWSocket::FireError(const std::string& step, int code) {
  const std::string message =
      "Error " + std::to_string(code) + " in function " + step + "\r\n" + WSocketErrorText(code);
  if (code == WSAECONNRESET || code == WSAENOTCONN) {
    ReleaseHandle(code == WSAECONNRESET ? Release::kAbortive : Release::kPlain);
    ChangeState(wsClosed);
    ConnectionDropped();
  }
  last_error_ = code;
  throw ESocketException(message);
}

// --- connect ----------------------------------------------------------------

void TWSocket::ResolveRemote(const char* prefix) {
  try {
    if (!proto_resolved_) {
      proto_number_ = WSocketResolveProto(proto_);
      socket_type_ = proto_number_ == 17 ? SOCK_DGRAM : SOCK_STREAM;
      proto_resolved_ = true;
    }
    if (!port_resolved_) {
      port_number_ = WSocketResolvePort(port_, proto_);
      port_resolved_ = true;
    }
    if (!addr_resolved_) {
      addr_number_ = WSocketResolveHost(addr_);
      addr_resolved_ = true;
    }
  } catch (const ESocketException& e) {
    throw ESocketException(prefix + std::string(e.what()));
  }
}

void TWSocket::ApplyLinger() {
  if (LingerOnOff == wsLingerNoSet) return;
  if (os::SetLinger(handle_, LingerOnOff == wsLingerOn, LingerTimeout) != 0) {
    FireError("setsockopt(SO_LINGER)", os::LastError());
  }
}

void TWSocket::DisableNagle() {
  // Lines are relayed as they come: holding a small write back until the last
  // one is acknowledged would delay the second of two notices by the peer's
  // delayed acknowledgement (40 ms and more). Best effort: a socket without it
  // still works.
  os::SetFlag(handle_, IPPROTO_TCP, TCP_NODELAY, true);
}

void TWSocket::Connect() {
  if (handle_ >= 0 && state_ != wsClosed) throw ESocketException("Connect: Socket already in use");
  if (!port_assigned_) throw ESocketException("Connect: No Port Specified");
  if (!addr_assigned_) throw ESocketException("Connect: No IP Address Specified");
  if (!proto_assigned_) throw ESocketException("Connect: No Protocol Specified");
  try {
    if (!local_port_resolved_) {
      local_port_number_ = WSocketResolvePort(local_port_, proto_);
      local_port_resolved_ = true;
    }
  } catch (const ESocketException& e) {
    throw ESocketException("connect: " + std::string(e.what()));
  }
  ResolveRemote("connect: ");
  DiscardSendQueue();

  const int fd = os::OpenSocket(socket_type_, proto_number_);
  if (fd < 0) FireError("Connect (socket)", os::LastError());
  TakeHandle(fd, false);
  ChangeState(wsOpened);

  if (local_port_number_ != 0 || local_addr_ != "0.0.0.0") {
    if (os::Bind(fd, WSocketResolveHost(local_addr_), local_port_number_) != 0) {
      throw ESocketException("winsock.bind failed, error #" + std::to_string(os::LastError()));
    }
    uint32_t bound_addr = 0;
    uint16_t bound_port = 0;
    if (os::LocalName(fd, bound_addr, bound_port) != 0) {
      throw ESocketException("winsock.getsockname failed, error #" + std::to_string(os::LastError()));
    }
    local_port_ = std::to_string(bound_port);
  }
  ApplyLinger();
  if (os::SetFlag(fd, SOL_SOCKET, SO_KEEPALIVE, true) != 0) {
    FireError("setsockopt(SO_KEEPALIVE)", os::LastError());
  }
  if (os::SetFlag(fd, SOL_SOCKET, SO_REUSEADDR, true) != 0) {
    FireError("setsockopt(SO_REUSEADDR)", os::LastError());
  }
  DisableNagle();
  WatchHandle(EPOLLOUT);
  if (os::ConnectTo(fd, addr_number_, port_number_) != 0) {
    const int err = os::LastError();
    if (err != WSAEWOULDBLOCK && err != WSAEINPROGRESS) {
      last_error_ = err;
      FireError("Connect", err);
    }
  }
  ChangeState(wsConnecting);
}

// --- close ------------------------------------------------------------------

void TWSocket::DiscardSendQueue() {
  send_queue_.clear();
  queued_bytes_ = 0;
}

void TWSocket::ReleaseHandle(Release how) {
  if (handle_ < 0) return;
  const int fd = handle_;
  loop_.Unwatch(fd);
  handle_ = -1;
  interest_ = 0;
  if (how == Release::kGraceful && established_) {
    std::string unsent;
    unsent.reserve(queued_bytes_);
    for (const TBuffer& chunk : send_queue_) {
      const auto [data, len] = chunk.Peek();
      if (len > 0) unsent.append(data, static_cast<std::size_t>(len));
    }
    DiscardSendQueue();
    loop_.Closer().Adopt(fd, std::move(unsent));
  } else {
    if (how == Release::kAbortive && established_) os::SetLinger(fd, true, 0);
    os::CloseHandle(fd);
  }
  established_ = false;
}

void TWSocket::CloseWith(Release how) {
  if (handle_ < 0) {
    if (state_ != wsClosed) {
      state_ = wsClosed;
      ResetDefaults();
    }
    return;
  }
  if (state_ == wsClosed) return;
  ReleaseHandle(how);
  ChangeState(wsClosed);
  if (!destroying_ && !close_notified_) {
    close_notified_ = true;
    TriggerSessionClosed(0);
  }
  try {
    ResetDefaults();
  } catch (...) {
  }
}

void TWSocket::Close() { CloseWith(Release::kGraceful); }

void TWSocket::Abort() {
  DiscardSendQueue();
  CloseWith(Release::kAbortive);
}

// --- send -------------------------------------------------------------------

int TWSocket::Send(const void* data, int len) {
  if (state_ != wsConnected) FireError("Send", WSAENOTCONN);
  all_sent_ = false;
  if (len > 0) {
    const char* bytes = static_cast<const char*>(data);
    int left = len;
    while (left > 0) {
      if (send_queue_.empty() || send_queue_.back().WrCount() >= send_queue_.back().BufSize()) {
        send_queue_.emplace_back(TBuffer::kDefaultSize);
      }
      const int written = send_queue_.back().Write(bytes, left);
      bytes += written;
      left -= written;
    }
    queued_bytes_ += static_cast<std::size_t>(len);
  }
  TryToSend();
  if (queued_bytes_ > kMaxSendQueue && handle_ >= 0) {
    // The peer stopped reading: end it the way a reset would.
    close_notified_ = true;
    DiscardSendQueue();
    CloseWith(Release::kAbortive);
    TriggerSessionClosed(WSAENOBUFS);
    return len;
  }
  if (all_sent_) PostMessage(kFdWrite, 0, false);
  return len <= 0 ? 0 : len;
}

int TWSocket::SendText(std::string_view text) {
  return Send(text.data(), static_cast<int>(text.size()));
}

void TWSocket::TryToSend() {
  if (handle_ < 0 || send_queue_.empty()) return;
  for (;;) {
    TBuffer& first = send_queue_.front();
    const auto [data, len] = first.Peek();
    if (len <= 0) {
      if (send_queue_.size() == 1) {
        all_sent_ = true;
        break;
      }
      send_queue_.pop_front();
      continue;
    }
    const ssize_t sent = os::SendBytes(handle_, data, static_cast<std::size_t>(len),
                                       SendFlags == wsSendUrgent);
    if (sent < 0) {
      const int err = os::LastError();
      if (err == WSAEWOULDBLOCK) break;
      if (IsFatalSendError(err)) {
        close_notified_ = true;
        CloseWith(Release::kAbortive);
        TriggerSessionClosed(static_cast<uint16_t>(err));
        return;
      }
      FireError("TryToSend failed", err);
    }
    if (sent == 0) break;
    const int count = static_cast<int>(sent);
    first.Remove(count);
    queued_bytes_ -= static_cast<std::size_t>(count);
    if (OnSendData) {
      OnSendData(this, count);
      if (handle_ < 0) return;
    }
    if (count < len) break;
  }
  UpdateInterest();
}

void TWSocket::UpdateInterest() {
  if (handle_ < 0 || state_ == wsListening) return;
  const uint32_t wanted = kReadInterest | (queued_bytes_ > 0 ? uint32_t{EPOLLOUT} : 0u);
  if (wanted != interest_) {
    interest_ = wanted;
    loop_.Modify(handle_, wanted);
  }
}

// --- receive ----------------------------------------------------------------

int TWSocket::Receive(void* buffer, int size) {
  if (handle_ < 0) {
    last_error_ = WSAENOTSOCK;
    return -1;
  }
  const ssize_t got = os::ReceiveBytes(handle_, buffer, static_cast<std::size_t>(std::max(size, 0)));
  if (got < 0) {
    last_error_ = os::LastError();
    return -1;
  }
  read_count_ += got;
  return static_cast<int>(got);
}

int TWSocket::RcvdCount() {
  if (handle_ < 0) FireError("ioctlSocket", WSAENOTSOCK);
  const int pending = os::PendingBytes(handle_);
  if (pending < 0) FireError("ioctlSocket", os::LastError());
  return pending;
}

std::string TWSocket::ReceiveText() {
  const int pending = RcvdCount();
  if (pending <= 0) return {};
  std::string text(static_cast<std::size_t>(pending), '\0');
  const int got = Receive(text.data(), pending);
  text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
  return text;
}

// --- peers and adoption -----------------------------------------------------

std::string TWSocket::PeerAddr() {
  if (state_ != wsConnected) return "error";
  uint32_t addr = 0;
  uint16_t port = 0;
  if (os::PeerName(handle_, addr, port) != 0) FireError("GetPeerName", os::LastError());
  return os::DottedText(addr);
}

std::string TWSocket::PeerPort() {
  if (state_ != wsConnected) return "error";
  uint32_t addr = 0;
  uint16_t port = 0;
  if (os::PeerName(handle_, addr, port) != 0) FireError("GetPeerPort", os::LastError());
  return std::to_string(port);
}

int TWSocket::BoundPort() const {
  uint32_t addr = 0;
  uint16_t port = 0;
  if (handle_ < 0 || os::LocalName(handle_, addr, port) != 0) return 0;
  return port;
}

void TWSocket::Dup(int handle) {
  // Descriptor 0 is a valid socket on Linux; only a negative one is invalid.
  if (handle < 0) FireError("Dup", WSAEINVAL);
  if (state_ != wsClosed) {
    ReleaseHandle(Release::kPlain);
    ChangeState(wsClosed);
  }
  TakeHandle(handle, true);
  ApplyLinger();
  DisableNagle();
  WatchHandle(kReadInterest);
  ChangeState(wsConnected);
}

}  // namespace kelvox
