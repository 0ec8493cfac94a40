// The event-driven TCP socket. Operations start work and return at once; what
// happens later (connected, data arrived, queue drained, peer closed) comes back as
// events, each run as a task of the event loop. Only Close, Abort, Connect, Listen,
// Dup, Send and the error reports for 10054/10057 run handlers inside the call
// (state changes, and the close event of a close).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "net/buffer.h"
#include "net/event_loop.h"
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

using TChangeState = std::function<void(TWSocket* Sender, TSocketState OldState, TSocketState NewState)>;
using TSessionConnected = std::function<void(TWSocket* Sender, uint16_t Error)>;
using TDataAvailable = std::function<void(TWSocket* Sender, uint16_t Error)>;
using TSessionClosed = std::function<void(TWSocket* Sender, uint16_t Error)>;
using TDataSent = std::function<void(TWSocket* Sender, uint16_t Error)>;
using TSessionAvailable = std::function<void(TWSocket* Sender, uint16_t Error)>;
using TSendData = std::function<void(TWSocket* Sender, int BytesSent)>;
using TBgExceptionEvent = std::function<void(TWSocket* Sender, const std::exception& E, bool& CanClose)>;

class TWSocket {
 public:
  /// Bytes a socket may hold for a peer that does not read. Past this the peer is
  /// cut off as if it had reset the connection (error 10055), instead of the queue
  /// growing without bound.
  static constexpr std::size_t kMaxSendQueue = 4 * 1024 * 1024;

  explicit TWSocket(TEventLoop& loop);
  /// Closes an open socket: OnChangeState fires, OnSessionClosed does not.
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
  /// An IPv4 literal, stored in dotted form; empty means "0.0.0.0".
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
  TDataSent OnDataSent;
  TSendData OnSendData;
  TSessionAvailable OnSessionAvailable;
  TBgExceptionEvent OnBgException;

  TSocketState State() const { return state_; }
  int LastError() const { return last_error_; }
  int64_t ReadCount() const { return read_count_; }
  bool AllSent() const { return all_sent_; }
  /// Bytes handed to Send that the OS has not taken yet.
  std::size_t BufferedBytes() const { return queued_bytes_; }

  /// Starts connecting to Addr:Port from LocalAddr:LocalPort; returns in
  /// wsConnecting. Host names are looked up inside the call.
  void Connect();
  /// Orderly close: OnChangeState, then (once per connection) OnSessionClosed(0),
  /// both before it returns. What was handed to Send is still delivered.
  void Close();
  /// Immediate close: the send queue is dropped and the connection reset.
  void Abort();
  /// Queues the bytes and tries the OS at once; returns len (0 for len <= 0).
  int Send(const void* data, int len);
  int SendText(std::string_view text);
  /// One OS receive; a negative count on failure, with LastError() set.
  int Receive(void* buffer, int size);
  /// Everything the OS holds at the moment, in one receive.
  std::string ReceiveText();
  /// Bytes the OS holds for reading.
  int RcvdCount();
  /// "error" unless connected.
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

  /// The error report: raises "Error n in function step\r\n<description>". For
  /// 10054 and 10057 the OS handle is released first and State becomes wsClosed.
  [[noreturn]] void FireError(const std::string& step, int code);
  void ChangeState(TSocketState state);
  /// Makes fd the socket's OS handle; messages for earlier handles become stale.
  void TakeHandle(int fd, bool established);
  /// Watches the handle for the given readiness; a failure is reported for step.
  void WatchHandle(uint32_t events, const char* step = "WSAAsyncSelect");
  bool AddrAssigned() const { return addr_assigned_; }
  bool PortAssigned() const { return port_assigned_; }
  bool ProtoAssigned() const { return proto_assigned_; }
  void ApplyLinger();
  void DisableNagle();
  void ResolveRemote(const char* prefix);
  void DiscardSendQueue();
  /// Posts a notification message to this socket, handled later from the queue.
  void PostMessage(unsigned bits, uint16_t error, bool from_poll);

  bool destroying_ = false;
  bool close_notified_ = false;
  int proto_number_ = 6;
  int socket_type_ = 1;  // SOCK_STREAM
  uint16_t port_number_ = 0;
  uint32_t addr_number_ = 0;
  std::shared_ptr<int> life_ = std::make_shared<int>(0);

 private:
  enum class Release { kGraceful, kAbortive, kPlain };

  void Dispatch(uint64_t serial, unsigned bits, uint16_t error, bool from_poll);
  void OnReadiness(uint32_t events);
  void ReceiveLoop(uint16_t error);
  void TryToSend();
  void UpdateInterest();
  void CloseWith(Release how);
  void SetRemoteText(const std::string& text, const char* name, std::string& stored, bool& assigned,
                     bool& resolved);
  void ReleaseHandle(Release how);
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
  int handle_ = -1;
  uint64_t serial_ = 0;         // counts OS handles, so stale messages are recognised
  bool established_ = false;    // the handle carries a connection that has data to end
  bool notify_queued_ = false;  // a readiness message for this handle waits in the queue
  uint32_t interest_ = 0;
  std::deque<TBuffer> send_queue_;
  std::size_t queued_bytes_ = 0;
  bool all_sent_ = true;
};

}  // namespace kelvox
