#include "net/wsocket.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

#include "net/graceful_close.h"
#include "net/os_socket.h"
#include "net/resolve.h"
#include "net/tls_session.h"

namespace kelvox {

namespace {

constexpr uint32_t kReadInterest = EPOLLIN | EPOLLRDHUP;
// While reading is paused only the peer's end is watched.
constexpr uint32_t kEndInterest = EPOLLRDHUP;
// Drained buffers at least this large count towards giving heap back.
constexpr std::size_t kWorthReleasing = 16 * 1024;
// An unfinished line kept between reads gives its memory back past this.
constexpr std::size_t kSmallCarry = 256;
// A TLS socket receives its ciphertext in pieces of this size, about two
// records' worth.
constexpr std::size_t kCipherChunk = 32 * 1024;

// Gives the loop's read buffer back at the end of a read.
// Where one read puts its bytes, after the unfinished line that goes in front of
// them: the loop's buffer, unless a read up the stack holds it, else a buffer
// of its own; the loop's is given back at the end of the read.
class TReadArea {
 public:
  TReadArea(TEventLoop& loop, std::size_t kept)
      : loop_(loop), base_(kept <= TEventLoop::kReadBufferSize / 2 ? loop.LendReadBuffer() : nullptr),
        lent_(base_ != nullptr) {
    if (base_ == nullptr) {
      capacity_ = kept + TEventLoop::kReadBufferSize / 2;
      own_.reset(new char[capacity_]);
      base_ = own_.get();
    }
  }
  ~TReadArea() {
    if (lent_) loop_.ReturnReadBuffer();
  }
  TReadArea(const TReadArea&) = delete;
  TReadArea& operator=(const TReadArea&) = delete;

  char* Base() const { return base_; }
  std::size_t Capacity() const { return capacity_; }

 private:
  TEventLoop& loop_;
  char* base_;
  bool lent_;
  std::size_t capacity_ = TEventLoop::kReadBufferSize;
  std::unique_ptr<char[]> own_;
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
  TIpAddress ip;
  if (!TIpAddress::Parse(text.empty() ? "0.0.0.0" : text, ip)) {
    throw ESocketException("SetLocalAddr(): Invalid IP address");
  }
  local_addr_ = ip.Text();
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
      if (!tls_) {
        if (events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) {
          bits = kFdConnect;
          error = static_cast<uint16_t>(os::PendingError(handle_));
        }
        break;
      }
      [[fallthrough]];  // connected over TCP, the TLS handshake runs
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
    if ((bits & kFdConnect) && error == 0 && tls_client_) {
      StartTlsClient();  // connected once the handshake is done
    } else if (bits & kFdConnect) {
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
    if ((bits & kFdRead) && IsCurrent(serial)) {
      if (tls_) {
        ReceiveTls(error);
      } else {
        ReceiveLoop(error);
      }
    }
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
    const TReadArea area(loop_, kept);
    char* base = area.Base();
    const std::size_t capacity = area.Capacity();
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
    const THanded handed = HandOver(base, kept + count, error, life);
    if (handed == THanded::kGone) return;
    if (handed == THanded::kStopped || handle_ < 0 || (ComponentOptions & wsoNoReceiveLoop) || count < wanted) break;
  }
  if (ended && handle_ >= 0) PeerEnded(end_error);
}

TWSocket::THanded TWSocket::HandOver(char* base, std::size_t size, uint16_t error, const std::weak_ptr<int>& life) {
  carry_.clear();
  in_begin_ = base;
  in_end_ = base + size;
  last_error_ = 0;
  bool stop = false;
  try {
    if (!TriggerDataAvailable(error)) in_begin_ = in_end_;  // nobody reads: dropped
  } catch (...) {
    stop = true;  // a failing data handler ends this burst, without a report
  }
  if (life.expired()) return THanded::kGone;
  KeepUnread();
  return stop ? THanded::kStopped : THanded::kRead;
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
  // What the session decrypted, or received and kept, while paused: no
  // readiness tells of it.
  if (tls_ && !tls_handshaking_) ContinueTlsRead();
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
      addr_ip_ = WSocketResolveHostIp(addr_);
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
  tls_error_.clear();

  const int fd = os::OpenSocket(addr_ip_, socket_type_, proto_number_);
  if (fd < 0) FireError("Connect (socket)", os::LastError());
  TakeHandle(fd, false);
  ChangeState(wsOpened);

  if (local_port_number_ != 0 || local_addr_ != "0.0.0.0") {
    if (os::Bind(fd, WSocketResolveHostIp(local_addr_), local_port_number_) != 0) {
      throw ESocketException("winsock.bind failed, error #" + std::to_string(os::LastError()));
    }
    TIpAddress bound_addr;
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
  if (os::ConnectTo(fd, addr_ip_, port_number_) != 0) {
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
  if (tls_) {
    // An orderly end seals what is left and says close_notify after it.
    if (how == Release::kGraceful && established_) tls_->Close();
    tls_.reset();
    tls_handshaking_ = false;
  }
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
  const std::string_view bytes(static_cast<const char*>(data), static_cast<std::size_t>(len));
  if (tls_) {
    tls_->Write(bytes);  // sealed into records when the output is flushed
  } else {
    out_.Write(bytes);
  }
  Queued();
  return len;
}

int TWSocket::SendText(std::string_view text) {
  return Send(text.data(), static_cast<int>(text.size()));
}

void TWSocket::SendLine(std::string_view text) {
  if (state_ != wsConnected) FireError("Send", WSAENOTCONN);
  if (tls_) {
    tls_->Write(text);
    tls_->Write("\r\n");
  } else {
    out_.Write(text);
    out_.Write("\r\n");
  }
  Queued();
}

void TWSocket::Queued() {
  if (!flush_listed_) {
    flush_listed_ = true;
    loop_.FlushAfterTask(this);
  }
  if (OutputSize() >= kFlushAtOnce && !os_full_) Flush(false);
  if (handle_ < 0) return;  // the flush met a broken connection
  const std::size_t size = OutputSize();
  if (size > kMaxSendQueue) {
    // Nobody reads and nothing held the writer back: end it as a reset would.
    CloseWith(Release::kAbortive, Notify::kLater, WSAENOBUFS);
    return;
  }
  if (!buffer_high_ && size > kHighWaterMark) {
    buffer_high_ = true;
    if (OnBufferHigh) OnBufferHigh(this);
  }
}

void TWSocket::FlushOutput() {
  flush_listed_ = false;
  if (!os_full_) Flush(true);
}

std::size_t TWSocket::OutputSize() const { return out_.Size() + (tls_ ? tls_->Staged() : 0); }

void TWSocket::Flush(bool after_task) {
  // A TLS client flushes its handshake while still connecting.
  if (handle_ < 0 || (state_ != wsConnected && !tls_)) return;
  if (tls_ && !tls_->Seal()) {
    tls_error_ = tls_->Error();
    last_error_ = WSAECONNABORTED;
    CloseWith(Release::kAbortive, Notify::kLater, WSAECONNABORTED);
    return;
  }
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
  if (buffer_high_ && OutputSize() <= kLowWaterMark) {
    buffer_high_ = false;
    PostEvent([](TWSocket* s) {
      if (s->OnBufferLow) s->OnBufferLow(s);
    });
  }
  // Within a task the buffer is about to fill again; only a drain after it
  // counts, and gives the memory back.
  if (out_.Empty() && had_output && after_task) {
    // The records of a handshake are no data the owner sent.
    if (OnDataSent && !tls_handshaking_) PostEvent([](TWSocket* s) { s->TriggerDataSent(0); });
    std::size_t released = out_.Shrink();
    if (tls_) released += tls_->Shrink();
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
  // Connecting sockets wait for writability (unless their TLS handshake runs),
  // listeners for connections.
  if (handle_ < 0 || (state_ != wsConnected && !tls_)) return;
  // A handshake goes on while reading is paused: it delivers no data.
  const bool hold = paused_ && !peer_ending_ && !tls_handshaking_;
  const uint32_t wanted = (hold ? kEndInterest : kReadInterest) | (out_.Empty() ? 0u : uint32_t{EPOLLOUT});
  if (wanted != interest_) {
    interest_ = wanted;
    loop_.Modify(handle_, wanted);
  }
}

// --- TLS --------------------------------------------------------------------

void TWSocket::SetTlsClient(const TTlsClientOptions& options) {
  if (state_ != wsClosed) throw ESocketException("Cannot change TLS if not closed");
  tls_client_ = std::make_unique<TTlsClientOptions>(options);
}

void TWSocket::ClearTls() {
  if (state_ != wsClosed) throw ESocketException("Cannot change TLS if not closed");
  tls_client_.reset();
}

bool TWSocket::IsTls() const { return tls_client_ != nullptr || tls_ != nullptr; }

void TWSocket::StartTlsServer(std::shared_ptr<TTlsServerContext> context) {
  if (state_ != wsConnected || handle_ < 0) throw ESocketException("StartTlsServer: Socket is not connected");
  if (tls_) throw ESocketException("StartTlsServer: Already a TLS session");
  if (!context) throw ESocketException("StartTlsServer: No TLS context");
  std::string why;
  std::unique_ptr<TTlsSession> session = TTlsSession::Server(*context, out_, why);
  if (!session) throw ESocketException("StartTlsServer: " + why);
  tls_ = std::move(session);
  tls_error_.clear();
  tls_handshaking_ = true;
  if (in_end_ != in_begin_) {
    // Bytes received before are the start of the handshake.
    tls_->Feed(in_begin_, static_cast<std::size_t>(in_end_ - in_begin_));
    DropInput();
    ContinueTlsRead();
  }
  UpdateInterest();
}

void TWSocket::StartTlsClient() {
  established_ = true;  // a TCP connection, whatever becomes of the handshake
  last_error_ = 0;
  std::string why;
  tls_ = TTlsSession::Client(*tls_client_, out_, why);
  if (!tls_) {
    established_ = false;  // nothing to deliver: the connection just goes
    TlsHandshakeFailed(why);
    return;
  }
  tls_handshaking_ = true;
  UpdateInterest();
  AdvanceTlsHandshake();
}

void TWSocket::AdvanceTlsHandshake() {
  const TTlsSession::TStep step = tls_->Handshake();
  TlsWritten();
  if (step == TTlsSession::TStep::kMore) return;
  if (step == TTlsSession::TStep::kFailed) {
    TlsHandshakeFailed(tls_->Error());
    return;
  }
  tls_handshaking_ = false;
  UpdateInterest();
  if (state_ != wsConnecting) return;  // a server: what was held goes with the next flush
  // A client is connected now, as a plain connect reports it.
  const std::weak_ptr<int> life = life_;
  ChangeState(wsConnected);
  if (life.expired()) return;
  TriggerSessionConnected(0);
}

void TWSocket::TlsHandshakeFailed(const std::string& why) {
  const std::weak_ptr<int> life = life_;
  tls_error_ = why;
  // A failed session drops what is sent from here on; its alert, if it wrote
  // one, is still delivered with the close.
  if (tls_ && !tls_->Failed()) tls_->Fail(why);
  tls_handshaking_ = false;
  if (state_ != wsConnecting) {
    PeerEnded(WSAECONNABORTED);  // the server end: as a reset by the peer
    return;
  }
  // The client end: as a failed connect.
  last_error_ = WSAECONNABORTED;
  ChangeState(wsConnected);
  if (life.expired()) return;
  TriggerSessionConnected(WSAECONNABORTED);
  if (life.expired()) return;
  if (state_ != wsClosed) CloseWith(Release::kGraceful, Notify::kNow);
}

void TWSocket::TlsWritten() {
  if (flush_listed_ || OutputSize() == 0) return;
  flush_listed_ = true;
  loop_.FlushAfterTask(this);
}

void TWSocket::ContinueTlsRead() {
  if (tls_ && handle_ >= 0 && tls_->HasInput()) PostMessage(kFdRead, 0, false);
}

// The read task of a TLS socket: ciphertext from the OS goes into the session,
// which advances the handshake or gives plaintext, handed out as a plain socket
// hands out its bytes. The budget counts the ciphertext.
void TWSocket::ReceiveTls(uint16_t error) {
  const std::weak_ptr<int> life = life_;
  std::size_t budget = kReadBudget;
  bool os_drained = false;        // the last receive took everything the OS had
  bool fed = tls_->HasInput();    // the handshake has bytes to work on
  for (;;) {
    if (handle_ < 0 || !tls_) return;
    if (tls_handshaking_) {
      if (fed) {
        fed = false;
        AdvanceTlsHandshake();
        if (life.expired()) return;
        continue;
      }
    } else {
      // While paused, the session keeps what it holds until ResumeReading.
      if (paused_ && !peer_ending_) return;
      const int delivered = DeliverTls(error);
      if (life.expired() || delivered < 0) return;
      if (delivered > 0) {
        if (ComponentOptions & wsoNoReceiveLoop) {
          ContinueTlsRead();
          return;
        }
        continue;
      }
    }
    if (os_drained) return;
    if (budget == 0) {
      ContinueTlsRead();  // the OS, if it holds more, tells by itself
      return;
    }
    char cipher[kCipherChunk];
    const std::size_t wanted = std::min(kCipherChunk, budget);
    const ssize_t got = os::ReceiveBytes(handle_, cipher, wanted);
    if (got <= 0) {
      const int err = got == 0 ? 0 : os::LastError();
      if (err == WSAEWOULDBLOCK) return;
      if (tls_handshaking_) {
        TlsHandshakeFailed(tls_->PeerGoneText());
      } else {
        PeerEnded(static_cast<uint16_t>(err));
      }
      return;
    }
    read_count_ += got;
    budget -= static_cast<std::size_t>(got);
    os_drained = static_cast<std::size_t>(got) < wanted;
    tls_->Feed(cipher, static_cast<std::size_t>(got));
    fed = true;
  }
}

int TWSocket::DeliverTls(uint16_t error) {
  const std::weak_ptr<int> life = life_;
  // As for a plain read: the unfinished line goes in front of the new bytes.
  const auto kept = static_cast<std::size_t>(in_end_ - in_begin_);
  const TReadArea area(loop_, kept);
  char* base = area.Base();
  const std::size_t capacity = area.Capacity();
  std::size_t count = 0;
  TTlsSession::TRead result = TTlsSession::TRead::kData;
  while (kept + count < capacity && result == TTlsSession::TRead::kData) {
    count += tls_->Read(base + kept + count, capacity - kept - count, result);
  }
  TlsWritten();  // reading may have answered the peer
  if (count > 0) {
    if (kept > 0) std::memcpy(base, in_begin_, kept);
    const THanded handed = HandOver(base, kept + count, error, life);
    if (handed == THanded::kGone || handle_ < 0) return -1;
    if (handed == THanded::kStopped) {
      ContinueTlsRead();
      return -1;
    }
  }
  if (result == TTlsSession::TRead::kClosed) {
    PeerEnded(0);  // close_notify: the peer's orderly end
    return -1;
  }
  if (result == TTlsSession::TRead::kFailed) {
    tls_error_ = tls_->Error();
    PeerEnded(WSAECONNABORTED);
    return -1;
  }
  return count > 0 ? 1 : 0;
}

// --- peers and adoption -----------------------------------------------------

std::string TWSocket::PeerAddr() {
  if (state_ != wsConnected) return "error";
  TIpAddress addr;
  uint16_t port = 0;
  if (os::PeerName(handle_, addr, port) != 0) FireError("GetPeerName", os::LastError());
  return addr.Text();
}

std::string TWSocket::PeerPort() {
  if (state_ != wsConnected) return "error";
  TIpAddress addr;
  uint16_t port = 0;
  if (os::PeerName(handle_, addr, port) != 0) FireError("GetPeerPort", os::LastError());
  return std::to_string(port);
}

int TWSocket::BoundPort() const {
  TIpAddress addr;
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
  tls_error_.clear();
  ApplyLinger();
  TuneConnection();
  WatchHandle(kReadInterest);
  ChangeState(wsConnected);
}

}  // namespace kelvox
