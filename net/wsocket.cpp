#include "net/wsocket.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

#include "net/graceful_close.h"
#include "net/os_socket.h"
#include "net/resolve.h"

namespace kelvox {

namespace {

constexpr uint32_t kReadInterest = EPOLLIN | EPOLLRDHUP;
// While reading is paused only the peer's end is watched.
constexpr uint32_t kEndInterest = EPOLLRDHUP;
// Drained buffers at least this large count towards giving heap back.
constexpr std::size_t kWorthReleasing = 16 * 1024;
// An unfinished line kept between reads gives its memory back past this.
constexpr std::size_t kSmallCarry = 256;

// Gives the loop's read buffer back at the end of a read.
class TLentBuffer {
 public:
  TLentBuffer(TEventLoop& loop, bool lent) : loop_(loop), lent_(lent) {}
  ~TLentBuffer() {
    if (lent_) loop_.ReturnReadBuffer();
  }
  TLentBuffer(const TLentBuffer&) = delete;
  TLentBuffer& operator=(const TLentBuffer&) = delete;

 private:
  TEventLoop& loop_;
  bool lent_;
};

}  // namespace

TWSocket::TWSocket(TEventLoop& loop) : loop_(loop) { ResetDefaults(); }

TWSocket::~TWSocket() {
  destroying_ = true;
  if (flush_listed_) loop_.CancelFlush(this);
  try {
    if (state_ != wsClosed || handle_ >= 0) CloseWith(Release::kGraceful, Notify::kLater);
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
  peer_ending_ = false;
  os_full_ = false;
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
      // Data, the peer's end and a reset are all told apart by reading.
      if (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) bits |= kFdRead;
      if (events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) bits |= kFdClose;
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
      established_ = error == 0;
      ChangeState(wsConnected);
      if (life.expired()) return;
      if (error == 0 && IsCurrent(serial)) UpdateInterest();
      TriggerSessionConnected(error);
      if (life.expired()) return;
      if (error != 0 && state_ != wsClosed) CloseWith(Release::kGraceful, Notify::kNow);
    }
    if ((bits & kFdClose) && IsCurrent(serial)) {
      // The peer is done: what it sent is read to the end, paused or not.
      peer_ending_ = true;
      UpdateInterest();
    }
    if ((bits & kFdRead) && IsCurrent(serial)) ReceiveLoop(error);
    if (life.expired()) return;
    if ((bits & kFdWrite) && IsCurrent(serial)) {
      os_full_ = false;
      Flush(true);
    }
    if (life.expired()) return;
    if ((bits & kFdAccept) && IsCurrent(serial)) TriggerSessionAvailable(error);
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

// --- receive ----------------------------------------------------------------

void TWSocket::ReceiveLoop(uint16_t error) {
  const std::weak_ptr<int> life = life_;
  std::size_t budget = kReadBudget;
  bool ended = false;
  uint16_t end_error = 0;
  while (budget > 0 && handle_ >= 0 && (!paused_ || peer_ending_)) {
    // The unfinished line goes in front of the new bytes, so that lines are
    // whole. The loop's buffer serves, unless a read up the stack holds it.
    const auto kept = static_cast<std::size_t>(in_end_ - in_begin_);
    char* base = kept <= TEventLoop::kReadBufferSize / 2 ? loop_.LendReadBuffer() : nullptr;
    const TLentBuffer lent(loop_, base != nullptr);
    std::size_t capacity = TEventLoop::kReadBufferSize;
    std::unique_ptr<char[]> own;
    if (base == nullptr) {
      capacity = kept + TEventLoop::kReadBufferSize / 2;
      own.reset(new char[capacity]);
      base = own.get();
    }
    if (kept > 0) std::memcpy(base, in_begin_, kept);
    const std::size_t wanted = std::min(capacity - kept, budget);
    const ssize_t got = os::ReceiveBytes(handle_, base + kept, wanted);
    if (got <= 0) {
      const int err = got == 0 ? 0 : os::LastError();
      ended = err != WSAEWOULDBLOCK;
      end_error = static_cast<uint16_t>(err);
      break;  // the unfinished line is still in carry_
    }
    const auto count = static_cast<std::size_t>(got);
    read_count_ += got;
    budget -= count;
    carry_.clear();
    in_begin_ = base;
    in_end_ = base + kept + count;
    last_error_ = 0;
    bool stop = false;
    try {
      if (!TriggerDataAvailable(error)) in_begin_ = in_end_;  // nobody reads: dropped
    } catch (...) {
      stop = true;  // a failing data handler ends this burst, without a report
    }
    if (life.expired()) return;
    KeepUnread();
    if (stop || handle_ < 0 || (ComponentOptions & wsoNoReceiveLoop) || count < wanted) break;
  }
  if (ended && handle_ >= 0) PeerEnded(end_error);
}

void TWSocket::KeepUnread() {
  const auto left = static_cast<std::size_t>(in_end_ - in_begin_);
  if (left == 0) {
    if (carry_.capacity() > kSmallCarry) std::string().swap(carry_);
    carry_.clear();
  } else {
    carry_.assign(in_begin_, left);
  }
  in_begin_ = carry_.data();
  in_end_ = in_begin_ + left;
}

void TWSocket::DropInput() {
  std::string().swap(carry_);
  in_begin_ = in_end_ = carry_.data();
}

void TWSocket::PeerEnded(uint16_t error) {
  const std::weak_ptr<int> life = life_;
  if (!close_notified_) {
    close_notified_ = true;
    TriggerSessionClosed(error);
    if (life.expired()) return;
  }
  if (state_ != wsClosed) CloseWith(Release::kGraceful, Notify::kNow);
}

bool TWSocket::ReceiveLine(std::string_view& line) {
  const auto size = static_cast<std::size_t>(in_end_ - in_begin_);
  char* const start = in_begin_;
  auto* const lf = static_cast<char*>(size == 0 ? nullptr : std::memchr(start, '\n', size));
  if (lf == nullptr) return false;
  in_begin_ = lf + 1;  // consumed before anyone acts on it
  char* end = lf;
  if (end > start && end[-1] == '\r') --end;
  // A CR inside the line is rare: only then is the line moved together.
  if (std::memchr(start, '\r', static_cast<std::size_t>(end - start)) != nullptr) {
    end = std::remove(start, end, '\r');
  }
  line = std::string_view(start, static_cast<std::size_t>(end - start));
  return true;
}

std::string TWSocket::ReceiveText() {
  if (handle_ < 0 && in_begin_ == in_end_) FireError("ioctlSocket", WSAENOTSOCK);
  std::string text(in_begin_, in_end_);
  in_begin_ = in_end_;
  return text;
}

int TWSocket::Receive(void* buffer, int size) {
  if (handle_ < 0) {
    last_error_ = WSAENOTSOCK;
    return -1;
  }
  const auto wanted = static_cast<std::size_t>(std::max(size, 0));
  if (in_begin_ != in_end_) {
    const std::size_t count = std::min(wanted, static_cast<std::size_t>(in_end_ - in_begin_));
    std::memcpy(buffer, in_begin_, count);
    in_begin_ += count;
    return static_cast<int>(count);
  }
  const ssize_t got = os::ReceiveBytes(handle_, buffer, wanted);
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

void TWSocket::PauseReading() {
  if (paused_) return;
  paused_ = true;
  UpdateInterest();
}

void TWSocket::ResumeReading() {
  if (!paused_) return;
  paused_ = false;
  UpdateInterest();
}

// --- errors -----------------------------------------------------------------

void TWSocket::FireError(const std::string& step, int code) {
  const std::string message =
      "Error " + std::to_string(code) + " in function " + step + "\r\n" + WSocketErrorText(code);
  if (code == WSAECONNRESET || code == WSAENOTCONN) {
    const TSocketState old = state_;
    ReleaseHandle(code == WSAECONNRESET ? Release::kAbortive : Release::kPlain);
    if (old != wsClosed) {
      state_ = wsClosed;
      PostClose({old, false, true, 0});
    }
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

void TWSocket::TuneConnection() {
  // Lines are relayed as they come: holding a small write back until the last
  // one is acknowledged would delay the second of two notices by the peer's
  // delayed acknowledgement (40 ms and more). A peer that vanished without a
  // word (its machine off, its network gone) is found by keep-alive probes
  // within two minutes instead of hours. Best effort: a socket without either
  // still works.
  os::SetFlag(handle_, IPPROTO_TCP, TCP_NODELAY, true);
  os::SetKeepAlive(handle_, kKeepAliveIdleS, kKeepAliveIntervalS, kKeepAliveProbes);
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
  FirePendingClose();
  DiscardSendQueue();
  DropInput();

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
  TuneConnection();
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
  out_.Clear();
  const std::size_t released = out_.Shrink();
  if (released >= kWorthReleasing) loop_.NoteReleased(released);
}

void TWSocket::ReleaseHandle(Release how) {
  if (handle_ < 0) return;
  const int fd = handle_;
  loop_.Unwatch(fd);
  handle_ = -1;
  interest_ = 0;
  buffer_high_ = false;
  DropInput();
  if (how == Release::kGraceful && established_) {
    loop_.Closer().Adopt(fd, std::string(out_.Peek()));
  } else {
    if (how == Release::kAbortive && established_) os::SetLinger(fd, true, 0);
    os::CloseHandle(fd);
  }
  DiscardSendQueue();
  established_ = false;
}

void TWSocket::CloseWith(Release how, Notify notify, uint16_t error) {
  if (handle_ < 0) {
    if (state_ != wsClosed) {
      state_ = wsClosed;
      ResetDefaults();
    }
    return;
  }
  if (state_ == wsClosed) return;
  const TSocketState old = state_;
  const bool session_closed = !destroying_ && !close_notified_;
  close_notified_ = true;
  ReleaseHandle(how);
  if (notify == Notify::kLater) {
    state_ = wsClosed;
    ResetDefaults();
    if (!destroying_) PostClose({old, session_closed, false, error});
    return;
  }
  const std::weak_ptr<int> life = life_;
  ChangeState(wsClosed);
  if (life.expired()) return;
  if (session_closed) TriggerSessionClosed(error);
  if (life.expired()) return;
  try {
    ResetDefaults();
  } catch (...) {
  }
}

void TWSocket::PostClose(const TPendingClose& events) {
  pending_close_ = events;
  close_pending_ = true;
  loop_.Post([this, life = std::weak_ptr<int>(life_)] {
    if (!life.expired()) FirePendingClose();
  });
}

void TWSocket::FirePendingClose() {
  if (!close_pending_) return;
  close_pending_ = false;
  const TPendingClose events = pending_close_;
  const std::weak_ptr<int> life = life_;
  try {
    TriggerChangeState(events.old_state, wsClosed);
    if (life.expired()) return;
    if (events.dropped) {
      ConnectionDropped();
    } else if (events.session_closed) {
      TriggerSessionClosed(events.error);
    }
  } catch (const std::exception& e) {
    if (!life.expired()) HandleBackgroundException(e);
  }
}

void TWSocket::Close() { CloseWith(Release::kGraceful, Notify::kLater); }

void TWSocket::Abort() {
  DiscardSendQueue();
  CloseWith(Release::kAbortive, Notify::kLater);
}

// --- send -------------------------------------------------------------------

int TWSocket::Send(const void* data, int len) {
  if (state_ != wsConnected) FireError("Send", WSAENOTCONN);
  if (len <= 0) return 0;
  out_.Write(std::string_view(static_cast<const char*>(data), static_cast<std::size_t>(len)));
  Queued();
  return len;
}

int TWSocket::SendText(std::string_view text) {
  return Send(text.data(), static_cast<int>(text.size()));
}

void TWSocket::SendLine(std::string_view text) {
  if (state_ != wsConnected) FireError("Send", WSAENOTCONN);
  out_.Write(text);
  out_.Write("\r\n");
  Queued();
}

void TWSocket::Queued() {
  if (!flush_listed_) {
    flush_listed_ = true;
    loop_.FlushAfterTask(this);
  }
  if (out_.Size() >= kFlushAtOnce && !os_full_) Flush(false);
  if (handle_ < 0) return;  // the flush met a broken connection
  if (out_.Size() > kMaxSendQueue) {
    // Nobody reads and nothing held the writer back: end it as a reset would.
    CloseWith(Release::kAbortive, Notify::kLater, WSAENOBUFS);
    return;
  }
  if (!buffer_high_ && out_.Size() > kHighWaterMark) {
    buffer_high_ = true;
    if (OnBufferHigh) OnBufferHigh(this);
  }
}

void TWSocket::FlushOutput() {
  flush_listed_ = false;
  if (!os_full_) Flush(true);
}

void TWSocket::Flush(bool after_task) {
  if (handle_ < 0 || state_ != wsConnected) return;
  const bool had_output = !out_.Empty();
  while (!out_.Empty()) {
    const std::string_view unsent = out_.Peek();
    const ssize_t sent = os::SendBytes(handle_, unsent.data(), unsent.size(), SendFlags == wsSendUrgent);
    if (sent < 0) {
      const int err = os::LastError();
      if (err == WSAEWOULDBLOCK) {
        os_full_ = true;
        break;
      }
      // The peer is gone (reset, torn down): the connection ends with the error.
      last_error_ = err;
      CloseWith(Release::kAbortive, Notify::kLater, static_cast<uint16_t>(err));
      return;
    }
    ++send_calls_;
    write_count_ += sent;
    out_.Remove(static_cast<std::size_t>(sent));
    if (static_cast<std::size_t>(sent) < unsent.size()) {
      os_full_ = true;  // the rest goes when the OS has room again
      break;
    }
  }
  if (buffer_high_ && out_.Size() <= kLowWaterMark) {
    buffer_high_ = false;
    PostEvent([](TWSocket* s) {
      if (s->OnBufferLow) s->OnBufferLow(s);
    });
  }
  // Within a task the buffer is about to fill again; only a drain after it
  // counts, and gives the memory back.
  if (out_.Empty() && had_output && after_task) {
    if (OnDataSent) PostEvent([](TWSocket* s) { s->TriggerDataSent(0); });
    const std::size_t released = out_.Shrink();
    if (released >= kWorthReleasing) loop_.NoteReleased(released);
  }
  UpdateInterest();
}

void TWSocket::PostEvent(void (*fire)(TWSocket*)) {
  loop_.Post([this, life = std::weak_ptr<int>(life_), serial = serial_, fire] {
    if (!life.expired() && serial == serial_ && handle_ >= 0) fire(this);
  });
}

void TWSocket::UpdateInterest() {
  // Connecting sockets wait for writability, listeners for connections.
  if (handle_ < 0 || state_ != wsConnected) return;
  const uint32_t wanted =
      (paused_ && !peer_ending_ ? kEndInterest : kReadInterest) | (out_.Empty() ? 0u : uint32_t{EPOLLOUT});
  if (wanted != interest_) {
    interest_ = wanted;
    loop_.Modify(handle_, wanted);
  }
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
  FirePendingClose();
  if (state_ != wsClosed) {
    ReleaseHandle(Release::kPlain);
    ChangeState(wsClosed);
  }
  TakeHandle(handle, true);
  ApplyLinger();
  TuneConnection();
  WatchHandle(kReadInterest);
  ChangeState(wsConnected);
}

}  // namespace kelvox
