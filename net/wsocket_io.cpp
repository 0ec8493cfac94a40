// Reading and writing a connection: the read task with its budget, lines
// handed out as views, pausing; the output written behind, its flush after the
// task, the marks and the readiness watched.
#include <algorithm>
#include <cstring>

#include "net/os_socket.h"
#include "net/read_area.h"
#include "net/tls_session.h"
#include "net/wsocket.h"

namespace kelvox {

namespace {

// An unfinished line kept between reads gives its memory back past this.
constexpr std::size_t kSmallCarry = 256;

}  // namespace

// --- receive ----------------------------------------------------------------

void TWSocket::ReceiveLoop(uint16_t error) {
  const TAlive::TWatch alive = alive_.Watch();
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
    const THanded handed = HandOver(base, kept + count, error, alive);
    if (handed == THanded::kGone) return;
    if (handed == THanded::kStopped || handle_ < 0 || (ComponentOptions & wsoNoReceiveLoop) || count < wanted) break;
  }
  if (ended && handle_ >= 0) PeerEnded(end_error);
}

TWSocket::THanded TWSocket::HandOver(char* base, std::size_t size, uint16_t error, const TAlive::TWatch& alive) {
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
  if (alive.Gone()) return THanded::kGone;
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
  const TAlive::TWatch alive = alive_.Watch();
  if (!close_notified_) {
    close_notified_ = true;
    TriggerSessionClosed(error);
    if (alive.Gone()) return;
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
  if (handle_ < 0 && in_begin_ == in_end_) FireError(TSocketStep::kPending, WSAENOTSOCK);
  std::string text(in_begin_, in_end_);
  in_begin_ = in_end_;
  return text;
}

int TWSocket::RcvdCount() {
  if (handle_ < 0) FireError(TSocketStep::kPending, WSAENOTSOCK);
  const int pending = os::PendingBytes(handle_);
  if (pending < 0) FireError(TSocketStep::kPending, os::LastError());
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
// --- send -------------------------------------------------------------------

int TWSocket::Send(const void* data, int len) {
  if (state_ != wsConnected) FireError(TSocketStep::kSend, WSAENOTCONN);
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
  if (state_ != wsConnected) FireError(TSocketStep::kSend, WSAENOTCONN);
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
  loop_.Post(alive_.Guard([this, serial = serial_, fire] {
    if (IsCurrent(serial)) fire(this);
  }));
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

}  // namespace kelvox
