// The event-driven TCP socket. Operations start work and return at once; what
// happens later (connected, data arrived, output drained, peer closed) comes back
// as events, each run as a task of the event loop.
//
// Sending is written behind: Send appends to the socket's one output buffer and
// the loop hands that buffer to the OS right after the task, once (at once when
// it passes kFlushAtOnce).
// Receiving has a budget: one readiness task reads at most kReadBudget bytes into
// a buffer of the layer's, then the other sockets get their turn. Handlers take
// whole lines as views of that buffer (ReceiveLine) or all bytes as text
// (ReceiveText); an unfinished line waits in the socket for the rest.
// Back-pressure: OnBufferHigh fires inside Send when the output rises above
// kHighWaterMark, OnBufferLow as a task once it is back at kLowWaterMark; whoever
// feeds a socket stops reading its own source with PauseReading meanwhile. A
// paused socket still notices its peer's close.
// Closing: Close, Abort, a failed send and the error reports for 10054/10057 mark
// the socket closed at once and run its close events (OnChangeState, then
// OnSessionClosed) as a task after the current one, never inside the call. The
// only handlers that run inside a call: OnChangeState of Connect, Listen and Dup,
// and OnBufferHigh of Send.
// TLS: a socket with TLS client options runs the handshake after the TCP
// connect and reports itself connected only after it; an accepted socket turns
// into a TLS server with StartTlsServer. Sends, reads, marks, pausing and
// closing behave the same on either; handlers see plaintext only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "net/alive.h"
#include "net/buffer.h"
#include "net/event_loop.h"
#include "net/ip_address.h"
#include "net/tls.h"
#include "net/wsocket_errors.h"

namespace kelvox {

enum TSocketState : uint8_t {
  wsInvalidState = 0,
  wsOpened = 1,
  wsBound = 2,
  wsConnecting = 3,
  wsConnected = 4,
  wsAccepting = 5,
  wsListening = 6,
  wsClosed = 7,
};

enum TSocketLingerOnOff : uint8_t { wsLingerOff = 0, wsLingerOn = 1, wsLingerNoSet = 2 };
enum TSocketSendFlags : uint8_t { wsSendNormal = 0, wsSendUrgent = 1 };
/// Bits of ComponentOptions.
enum TWSocketOption : unsigned { wsoNoReceiveLoop = 1 };

class TWSocket;
class TTlsSession;

using TChangeState = std::function<void(TWSocket* Sender, TSocketState OldState, TSocketState NewState)>;
using TSessionConnected = std::function<void(TWSocket* Sender, uint16_t Error)>;
using TDataAvailable = std::function<void(TWSocket* Sender, uint16_t Error)>;
using TSessionClosed = std::function<void(TWSocket* Sender, uint16_t Error)>;
using TDataSent = std::function<void(TWSocket* Sender, uint16_t Error)>;
using TSessionAvailable = std::function<void(TWSocket* Sender, uint16_t Error)>;
using TBufferEvent = std::function<void(TWSocket* Sender)>;
using TBgExceptionEvent = std::function<void(TWSocket* Sender, const std::exception& E, bool& CanClose)>;

class TWSocket : private TFlushable {
 public:
  /// Output past which Send hands the buffer to the OS at once instead of after
  /// the task.
  static constexpr std::size_t kFlushAtOnce = 64 * 1024;
  /// Output above this fires OnBufferHigh; back at kLowWaterMark, OnBufferLow.
  static constexpr std::size_t kHighWaterMark = 256 * 1024;
  static constexpr std::size_t kLowWaterMark = 64 * 1024;
  /// The last resort for output that nobody's reading holds back: past this the
  /// peer is cut off as if it had reset the connection (error 10055).
  static constexpr std::size_t kMaxSendQueue = 4 * 1024 * 1024;
  /// Bytes one readiness task reads before the loop serves the other sockets.
  static constexpr std::size_t kReadBudget = 256 * 1024;
  /// Keep-alive on every connection: probes after 60 s of silence, every 10 s,
  /// the connection dropped after 6 unanswered.
  static constexpr int kKeepAliveIdleS = 60;
  static constexpr int kKeepAliveIntervalS = 10;
  static constexpr int kKeepAliveProbes = 6;

  explicit TWSocket(TEventLoop& loop);
  /// Closes an open socket (what was sent is still delivered); fires nothing.
  virtual ~TWSocket();
  TWSocket(const TWSocket&) = delete;
  TWSocket& operator=(const TWSocket&) = delete;

  // Settings. Addr, Port, Proto, LocalAddr and LocalPort can only change while the
  // socket is closed ("Cannot change Addr if not closed" ...); texts are trimmed.
  const std::string& Addr() const { return addr_; }
  void SetAddr(const std::string& text);
  const std::string& Port() const { return port_; }
  void SetPort(const std::string& text);
  const std::string& Proto() const { return proto_; }
  void SetProto(const std::string& text);
  const std::string& LocalAddr() const { return local_addr_; }
  /// An IPv4 literal, stored in dotted form, or an IPv6 literal, stored
  /// compressed; empty means "0.0.0.0".
  void SetLocalAddr(const std::string& text);
  const std::string& LocalPort() const { return local_port_; }
  void SetLocalPort(const std::string& text);

  int Tag = 0;
  std::string Name;
  bool MultiThreaded = false;  // kept for the record; the layer never waits
  unsigned ComponentOptions = 0;
  TSocketLingerOnOff LingerOnOff = wsLingerOn;
  int LingerTimeout = 0;
  TSocketSendFlags SendFlags = wsSendNormal;
  int FlushTimeout = 60;  // kept for the record; nothing reads it

  TChangeState OnChangeState;
  TSessionConnected OnSessionConnected;
  TDataAvailable OnDataAvailable;
  TSessionClosed OnSessionClosed;
  /// The output has drained; once per drain, as a task.
  TDataSent OnDataSent;
  TSessionAvailable OnSessionAvailable;
  /// The output rose above kHighWaterMark; runs inside the Send that did it, so
  /// that the sender can stop reading before it reads more.
  TBufferEvent OnBufferHigh;
  /// The output is back at kLowWaterMark after OnBufferHigh; a task.
  TBufferEvent OnBufferLow;
  TBgExceptionEvent OnBgException;

  TSocketState State() const { return state_; }
  int LastError() const { return last_error_; }
  /// Bytes received from the OS since the last reset.
  int64_t ReadCount() const { return read_count_; }
  /// Bytes the OS has taken, and the sends that handed them over, since the
  /// socket was created.
  int64_t WriteCount() const { return write_count_; }
  int64_t SendCalls() const { return send_calls_; }
  bool AllSent() const { return OutputSize() == 0; }
  /// Bytes handed to Send that the OS has not taken yet (on a TLS socket:
  /// records, and plaintext not yet sealed into records).
  std::size_t BufferedBytes() const { return OutputSize(); }
  /// Between OnBufferHigh and OnBufferLow.
  bool BufferHigh() const { return buffer_high_; }

  /// Starts connecting to Addr:Port from LocalAddr:LocalPort; returns in
  /// wsConnecting. Host names are looked up inside the call.
  void Connect();
  /// Orderly close: the socket is closed at once; OnChangeState, then (once per
  /// connection) OnSessionClosed(0) follow as a task. What was handed to Send is
  /// still delivered.
  void Close();
  /// Immediate close: the output is dropped and the connection reset.
  void Abort();
  /// Appends the bytes to the output; returns len (0 for len <= 0). Raises
  /// the error report for 10057 unless connected.
  int Send(const void* data, int len);
  int SendText(std::string_view text);
  /// Sends the text followed by CR LF.
  void SendLine(std::string_view text);

  /// Takes the next whole line received: the text before the next LF, without
  /// its CRs. The line is consumed before the caller sees it; the view stays
  /// valid until the handler returns or the next receive call. False when no
  /// whole line is there (the unfinished one stays for the next data).
  bool ReceiveLine(std::string_view& line);
  /// Everything received and not taken yet, as text (consumed).
  std::string ReceiveText();
  /// What has been received and not taken yet (an unfinished line).
  std::string_view UnreadText() const { return {in_begin_, static_cast<std::size_t>(in_end_ - in_begin_)}; }
  /// Bytes the OS holds for reading.
  int RcvdCount();

  /// Stops reading (and so the peer, once the OS buffers are full) until
  /// ResumeReading. A paused socket still notices its peer's close, and then
  /// reads on to the end. Kept across closes and connects.
  void PauseReading();
  void ResumeReading();
  bool ReadingPaused() const { return paused_; }

  // TLS.
  /// Makes the following Connects TLS links to a server checked as `options`
  /// say: after the TCP connect the socket stays wsConnecting through the
  /// handshake, and reports wsConnected and OnSessionConnected(0) only once it
  /// is done. A failed handshake is reported as a failed connect with error
  /// 10053 (wsConnecting>wsConnected, OnSessionConnected(10053), wsClosed,
  /// OnSessionClosed(0)); TlsError() tells why. The options stay for every
  /// later Connect until ClearTls. Only while closed.
  void SetTlsClient(const TTlsClientOptions& options);
  /// Later Connects are plain TCP again. Only while closed.
  void ClearTls();
  /// Turns a connection just accepted (call it right after Dup, or in the
  /// server's OnClientConnect) into the server end of a TLS session. The socket
  /// stays wsConnected; what is sent before the handshake is done is held and
  /// sent once it is. A failed handshake ends the connection as a reset by the
  /// peer would, with error 10053 (OnSessionClosed(10053), then wsClosed);
  /// TlsError() tells why. The session ends with the connection. Raises
  /// ESocketException unless connected and plain.
  void StartTlsServer(std::shared_ptr<TTlsServerContext> context);
  /// TLS client options are set, or the connection is a TLS session.
  bool IsTls() const;
  /// Why the last TLS handshake or session failed (for the user, after "TLS: "):
  /// "certificate verify failed: ...", "fingerprint mismatch: the server's is
  /// AB:CD:...", "handshake failed: ...", "the server (client) closed the
  /// connection during the handshake", or after the handshake "the connection
  /// failed: ...". Empty when nothing failed; cleared by Connect, Dup and
  /// StartTlsServer.
  const std::string& TlsError() const { return tls_error_; }
  /// The last TLS handshake failed (either end), as opposed to a session that
  /// failed after it; cleared with TlsError.
  bool TlsHandshakeFailed() const { return tls_handshake_failed_; }

  /// "error" unless connected. Dotted for IPv4 (also an IPv4 peer of an IPv6
  /// listener), compressed for IPv6.
  virtual std::string PeerAddr();
  virtual std::string PeerPort();
  /// Adopts an accepted OS socket; State becomes wsConnected.
  virtual void Dup(int handle);
  /// The local port the OS handle is bound to (a listener on port "0" learns its
  /// port here); 0 without a handle.
  int BoundPort() const;

 protected:
  // Notification bits of the socket's messages.
  static constexpr unsigned kFdRead = 1, kFdWrite = 2, kFdAccept = 8, kFdConnect = 16,
                            kFdClose = 32;

  TEventLoop& Loop() const { return loop_; }
  int Handle() const { return handle_; }

  // The overridable steps of the class tree.
  virtual void ResetDefaults();
  /// Returns whether a handler was called.
  virtual bool TriggerDataAvailable(uint16_t Error);
  virtual void TriggerSessionAvailable(uint16_t Error);
  virtual void TriggerSessionConnected(uint16_t Error);
  virtual void TriggerSessionClosed(uint16_t Error);
  virtual void TriggerDataSent(uint16_t Error);
  virtual void TriggerChangeState(TSocketState OldState, TSocketState NewState);
  /// The connection ended through an error report for 10054 or 10057, which fires
  /// no OnSessionClosed. Nothing to do here; the server's clients announce it.
  virtual void ConnectionDropped() {}
  /// An exception escaped a handler: OnBgException may veto, else Abort.
  void HandleBackgroundException(const std::exception& e);

  /// The error report: raises ESocketException(step, code), whose message is
  /// "Error n in function ...\r\n<description>". For 10054 and 10057 the OS
  /// handle is released first and State becomes wsClosed.
  [[noreturn]] void FireError(TSocketStep step, int code);
  void ChangeState(TSocketState state);
  /// Makes fd the socket's OS handle; messages for earlier handles become stale.
  void TakeHandle(int fd, bool established);
  /// Watches the handle for the given readiness; a failure is reported for step.
  void WatchHandle(uint32_t events, TSocketStep step = TSocketStep::kSelect);
  bool AddrAssigned() const { return addr_assigned_; }
  bool PortAssigned() const { return port_assigned_; }
  bool ProtoAssigned() const { return proto_assigned_; }
  void ApplyLinger();
  /// No Nagle delay, keep-alive probes: on every connection, accepted or opened.
  void TuneConnection();
  /// Resolves Proto, Port and Addr; a failure is raised as one of `within`.
  void ResolveRemote(TSocketCall within);
  void DiscardSendQueue();
  /// Runs the close events of an earlier close that are still waiting, before
  /// the socket starts a new connection.
  void FirePendingClose();

  bool destroying_ = false;
  bool close_notified_ = false;
  int proto_number_ = 6;
  int socket_type_ = 1;  // SOCK_STREAM
  uint16_t port_number_ = 0;
  TIpAddress addr_ip_;        // the remote address, either family
  /// Asked after every handler call: a handler may have deleted the socket.
  TAlive alive_;

 private:
  // Readiness watched on a connection: its data and its peer's end; while
  // reading is paused, only the end.
  static constexpr uint32_t kReadInterest = EPOLLIN | EPOLLRDHUP;
  static constexpr uint32_t kEndInterest = EPOLLRDHUP;
  // Drained buffers at least this large count towards giving heap back.
  static constexpr std::size_t kWorthReleasing = 16 * 1024;

  enum class Release { kGraceful, kAbortive, kPlain };
  // How a close reports itself: inside the socket's own message (the peer's end,
  // a failed connect) or as a task after the caller's (everything else).
  enum class Notify { kNow, kLater };

  std::size_t OutputSize() const;
  void PostMessage(unsigned bits, uint16_t error, bool from_poll);
  void Dispatch(uint64_t serial, unsigned bits, uint16_t error, bool from_poll);
  void OnReadiness(uint32_t events);
  void ReceiveLoop(uint16_t error);
  // TLS: the read task, the handshake's steps and its end.
  void ReceiveTls(uint16_t error);
  /// Decrypts what the session holds and hands it to the handler: 1 when data
  /// was handed over, 0 when the session needs more ciphertext, -1 when the
  /// reading is over for this task (closed, ended, a failing handler).
  int DeliverTls(uint16_t error);
  void StartTlsClient();
  void AdvanceTlsHandshake();
  void TlsHandshakeFailed(const std::string& why);
  /// Lists the records the session wrote for the flush after the task.
  void TlsWritten();
  /// Reads on in a later task what the session holds when no readiness would
  /// tell of it (the budget ran out, reading resumed).
  void ContinueTlsRead();
  /// What became of received bytes handed to the data handler.
  enum class THanded { kRead, kStopped, kGone };
  /// Hands [base, base + size) to the data handler as what was received and
  /// keeps what it leaves; kStopped when the handler failed (the burst ends),
  /// kGone when the socket went with it.
  THanded HandOver(char* base, std::size_t size, uint16_t error, const TAlive::TWatch& alive);
  /// Keeps what the handler left unread (an unfinished line) for the next read.
  void KeepUnread();
  /// The peer ended the connection (error 0) or broke it.
  void PeerEnded(uint16_t error);
  /// After Send: lists the socket for the flush after the task, flushes at once
  /// past kFlushAtOnce, and applies the high mark and the hard cap.
  void Queued();
  void FlushOutput() override;
  /// Hands the output to the OS until it is empty or the OS is full; after the
  /// task, a drained buffer also gives its memory back.
  void Flush(bool after_task);
  /// Fires an event as a task, if the connection is still the same then.
  void PostEvent(void (*fire)(TWSocket*));
  void UpdateInterest();
  void CloseWith(Release how, Notify notify, uint16_t error = 0);
  void SetRemoteText(const std::string& text, const char* name, std::string& stored, bool& assigned,
                     bool& resolved);
  void ReleaseHandle(Release how);
  void DropInput();
  bool IsCurrent(uint64_t serial) const { return serial == serial_ && handle_ >= 0; }

  TEventLoop& loop_;
  std::string addr_, port_, proto_ = "tcp", local_addr_ = "0.0.0.0", local_port_ = "0";
  bool addr_assigned_ = false, port_assigned_ = false, proto_assigned_ = true;
  bool addr_resolved_ = false, port_resolved_ = false, proto_resolved_ = true,
       local_port_resolved_ = false;
  uint16_t local_port_number_ = 0;

  TSocketState state_ = wsClosed;
  int last_error_ = 0;
  int64_t read_count_ = 0;
  int64_t write_count_ = 0;
  int64_t send_calls_ = 0;
  int handle_ = -1;
  uint64_t serial_ = 0;         // counts OS handles, so stale messages are recognised
  bool established_ = false;    // the handle carries a connection that has data to end
  bool notify_queued_ = false;  // a readiness message for this handle waits in the queue
  uint32_t interest_ = 0;

  TBuffer out_;                 // bytes not yet taken by the OS
  bool flush_listed_ = false;   // the loop flushes out_ after the current task
  bool buffer_high_ = false;    // above the high mark, not yet back at the low one
  bool os_full_ = false;        // the OS took less than offered: wait for write readiness
  bool paused_ = false;         // reading stopped by PauseReading
  bool peer_ending_ = false;    // the peer's end was seen: read on whatever the pause

  // Received and not taken: a view into the loop's read buffer while a read is
  // handled, else into carry_, which keeps an unfinished line between reads.
  char* in_begin_ = nullptr;
  char* in_end_ = nullptr;
  std::string carry_;

  // Close events that wait for their task.
  struct TPendingClose {
    TSocketState old_state = wsClosed;
    bool session_closed = false;  // fire OnSessionClosed(error)
    bool dropped = false;         // an error report: ConnectionDropped instead
    uint16_t error = 0;
  };
  void PostClose(const TPendingClose& events);
  bool close_pending_ = false;
  TPendingClose pending_close_;

  std::unique_ptr<TTlsClientOptions> tls_client_;  // for the Connects to come
  std::unique_ptr<TTlsSession> tls_;               // the connection's session
  bool tls_handshaking_ = false;  // the session's handshake runs: it reads even when paused
  std::string tls_error_;
  bool tls_handshake_failed_ = false;
};

}  // namespace kelvox
