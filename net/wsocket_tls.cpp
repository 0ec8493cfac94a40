// The socket's TLS session: a client's handshake after the TCP connect, a
// server's on an accepted connection, the read task that feeds ciphertext in
// and hands plaintext out, and the records listed for the flush.
#include <algorithm>
#include <cstring>

#include "net/os_socket.h"
#include "net/read_area.h"
#include "net/tls_session.h"
#include "net/wsocket.h"

namespace kelvox {

namespace {

// A TLS socket receives its ciphertext in pieces of this size, about two
// records' worth.
constexpr std::size_t kCipherChunk = 32 * 1024;

}  // namespace

void TWSocket::SetTlsClient(const TTlsClientOptions& options) {
  if (state_ != wsClosed) throw ESocketException(TSocketStep::kNotClosed, WSAEINVAL, "TLS");
  tls_client_ = std::make_unique<TTlsClientOptions>(options);
}

void TWSocket::ClearTls() {
  if (state_ != wsClosed) throw ESocketException(TSocketStep::kNotClosed, WSAEINVAL, "TLS");
  tls_client_.reset();
}

bool TWSocket::IsTls() const { return tls_client_ != nullptr || tls_ != nullptr; }

void TWSocket::StartTlsServer(std::shared_ptr<TTlsServerContext> context) {
  if (state_ != wsConnected || handle_ < 0) {
    throw ESocketException(TSocketStep::kTlsServer, WSAENOTCONN, "Socket is not connected");
  }
  if (tls_) throw ESocketException(TSocketStep::kTlsServer, WSAEINVAL, "Already a TLS session");
  if (!context) throw ESocketException(TSocketStep::kTlsServer, WSAEINVAL, "No TLS context");
  std::string why;
  std::unique_ptr<TTlsSession> session = TTlsSession::Server(*context, out_, why);
  if (!session) throw ESocketException(TSocketStep::kTlsServer, WSAEINVAL, why);
  tls_ = std::move(session);
  tls_error_.clear();
  tls_handshake_failed_ = false;
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
  const TAlive::TWatch alive = alive_.Watch();
  ChangeState(wsConnected);
  if (alive.Gone()) return;
  TriggerSessionConnected(0);
}

void TWSocket::TlsHandshakeFailed(const std::string& why) {
  const TAlive::TWatch alive = alive_.Watch();
  tls_error_ = why;
  tls_handshake_failed_ = true;
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
  if (alive.Gone()) return;
  TriggerSessionConnected(WSAECONNABORTED);
  if (alive.Gone()) return;
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
  const TAlive::TWatch alive = alive_.Watch();
  std::size_t budget = kReadBudget;
  bool os_drained = false;        // the last receive took everything the OS had
  bool fed = tls_->HasInput();    // the handshake has bytes to work on
  for (;;) {
    if (handle_ < 0 || !tls_) return;
    if (tls_handshaking_) {
      if (fed) {
        fed = false;
        AdvanceTlsHandshake();
        if (alive.Gone()) return;
        continue;
      }
    } else {
      // While paused, the session keeps what it holds until ResumeReading.
      if (paused_ && !peer_ending_) return;
      const int delivered = DeliverTls(error);
      if (alive.Gone() || delivered < 0) return;
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
  const TAlive::TWatch alive = alive_.Watch();
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
    const THanded handed = HandOver(base, kept + count, error, alive);
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

}  // namespace kelvox
