// The socket's life: construction and settings, its messages and their
// dispatch to the handlers, the error report, and closing. Connecting and
// adopting are in wsocket_connect.cpp, reading and writing in wsocket_io.cpp,
// the TLS session in wsocket_tls.cpp.
#include "net/wsocket.h"

#include <sys/socket.h>

#include "net/graceful_close.h"
#include "net/os_socket.h"
#include "net/resolve.h"
#include "net/tls_session.h"

namespace kelvox {

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
  if (state_ != wsClosed) throw ESocketException(TSocketStep::kNotClosed, WSAEINVAL, name);
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
  if (state_ != wsClosed) throw ESocketException(TSocketStep::kNotClosed, WSAEINVAL, "LocalAddr");
  TIpAddress ip;
  if (!TIpAddress::Parse(text.empty() ? "0.0.0.0" : text, ip)) {
    throw ESocketException(TSocketStep::kLocalAddress, WSAEINVAL);
  }
  local_addr_ = ip.Text();
}

void TWSocket::SetLocalPort(const std::string& text) {
  if (state_ != wsClosed) throw ESocketException(TSocketStep::kNotClosed, WSAEINVAL, "LocalPort");
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

void TWSocket::WatchHandle(uint32_t events, TSocketStep step) {
  interest_ = events;
  const int err = loop_.Watch(handle_, events, [this](uint32_t ready) { OnReadiness(ready); });
  if (err != 0) FireError(step, WsaFromErrno(err));
}

void TWSocket::PostMessage(unsigned bits, uint16_t error, bool from_poll) {
  loop_.Post(alive_.Guard(
      [this, serial = serial_, bits, error, from_poll] { Dispatch(serial, bits, error, from_poll); }));
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
  const TAlive::TWatch alive = alive_.Watch();
  try {
    if ((bits & kFdConnect) && error == 0 && tls_client_) {
      StartTlsClient();  // connected once the handshake is done
    } else if (bits & kFdConnect) {
      // The outcome of the attempt, readable from the state-change handler that
      // fires before the connected event.
      last_error_ = error;
      established_ = error == 0;
      ChangeState(wsConnected);
      if (alive.Gone()) return;
      if (error == 0 && IsCurrent(serial)) UpdateInterest();
      TriggerSessionConnected(error);
      if (alive.Gone()) return;
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
    if (alive.Gone()) return;
    if ((bits & kFdWrite) && IsCurrent(serial)) {
      os_full_ = false;
      Flush(true);
    }
    if (alive.Gone()) return;
    if ((bits & kFdAccept) && IsCurrent(serial)) TriggerSessionAvailable(error);
  } catch (const std::exception& e) {
    if (!alive.Gone()) HandleBackgroundException(e);
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

// --- errors -----------------------------------------------------------------

void TWSocket::FireError(TSocketStep step, int code) {
  if (code == WSAECONNRESET || code == WSAENOTCONN) {
    const TSocketState old = state_;
    ReleaseHandle(code == WSAECONNRESET ? Release::kAbortive : Release::kPlain);
    if (old != wsClosed) {
      state_ = wsClosed;
      PostClose({old, false, true, 0});
    }
  }
  last_error_ = code;
  throw ESocketException(step, code);
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
  const TAlive::TWatch alive = alive_.Watch();
  ChangeState(wsClosed);
  if (alive.Gone()) return;
  if (session_closed) TriggerSessionClosed(error);
  if (alive.Gone()) return;
  try {
    ResetDefaults();
  } catch (...) {
  }
}

void TWSocket::PostClose(const TPendingClose& events) {
  pending_close_ = events;
  close_pending_ = true;
  loop_.Post(alive_.Guard([this] { FirePendingClose(); }));
}

void TWSocket::FirePendingClose() {
  if (!close_pending_) return;
  close_pending_ = false;
  const TPendingClose events = pending_close_;
  const TAlive::TWatch alive = alive_.Watch();
  try {
    TriggerChangeState(events.old_state, wsClosed);
    if (alive.Gone()) return;
    if (events.dropped) {
      ConnectionDropped();
    } else if (events.session_closed) {
      TriggerSessionClosed(events.error);
    }
  } catch (const std::exception& e) {
    if (!alive.Gone()) HandleBackgroundException(e);
  }
}

void TWSocket::Close() { CloseWith(Release::kGraceful, Notify::kLater); }

void TWSocket::Abort() {
  DiscardSendQueue();
  CloseWith(Release::kAbortive, Notify::kLater);
}

// --- peers -----------------------------------------------------------------

std::string TWSocket::PeerAddr() {
  if (state_ != wsConnected) return "error";
  TIpAddress addr;
  uint16_t port = 0;
  if (os::PeerName(handle_, addr, port) != 0) FireError(TSocketStep::kPeerName, os::LastError());
  return addr.Text();
}

std::string TWSocket::PeerPort() {
  if (state_ != wsConnected) return "error";
  TIpAddress addr;
  uint16_t port = 0;
  if (os::PeerName(handle_, addr, port) != 0) FireError(TSocketStep::kPeerPort, os::LastError());
  return std::to_string(port);
}

int TWSocket::BoundPort() const {
  TIpAddress addr;
  uint16_t port = 0;
  if (handle_ < 0 || os::LocalName(handle_, addr, port) != 0) return 0;
  return port;
}

}  // namespace kelvox
