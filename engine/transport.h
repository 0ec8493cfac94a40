// The engine's seam to the network: the connections it reads and writes, the
// listener that brings users in, and the host lookups of CONN. The socket layer
// is one implementation (engine/socket_transport.h); the tests' recording
// transport is another, in which a test plays users, IRC servers and the
// resolver line by line. Either way every event runs as a task of the event
// loop, never inside the call that caused it (as the socket layer promises), and
// the engine never sees a descriptor.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "net/tls.h"
#include "net/wsocket.h"

namespace kelvox {

class TConnection;

using TConnectionEvent = std::function<void(TConnection* Sender, uint16_t Error)>;
using TConnectionChange = std::function<void(TConnection* Sender, TSocketState OldState, TSocketState NewState)>;
using TConnectionNotify = std::function<void(TConnection* Sender)>;

/// One TCP connection: a user's, accepted by the listener, or a server link that
/// the engine opens. The operations and events are the socket layer's (see
/// net/wsocket.h), reduced to what the engine uses.
class TConnection {
 public:
  virtual ~TConnection() = default;

  /// For a server link: the user's slot, kept current as slots move.
  int Tag = 0;

  virtual TSocketState State() const = 0;
  /// The outcome of the last connect attempt (0: connected), readable from
  /// OnChangeState before OnSessionConnected.
  virtual int LastError() const = 0;
  /// The peer's address, dotted (IPv6: compressed); a user's stays readable
  /// after the close.
  virtual std::string PeerAddr() const = 0;

  /// Appends the text to the output, written behind. Raises the socket layer's
  /// error report for 10057 unless connected.
  virtual void SendText(std::string_view text) = 0;
  /// SendText of the text and CR LF.
  virtual void SendLine(std::string_view text) = 0;
  /// Takes the next whole line received (cut at LF, CRs removed), consumed
  /// before the caller acts on it; the view lasts until the handler returns.
  virtual bool ReceiveLine(std::string_view& line) = 0;
  /// Received text that does not end in LF yet.
  virtual std::string_view UnreadText() const = 0;
  /// Orderly close: closed at once; OnChangeState and OnSessionClosed follow.
  virtual void Close() = 0;
  /// Starts connecting from a local address ("" for any) to an address and a
  /// port, either family (dotted or IPv6 literal); returns in wsConnecting,
  /// the outcome comes as events.
  /// What fails at once raises ESocketException (kBind: the local address
  /// cannot be bound).
  virtual void Connect(const std::string& local_addr, const std::string& addr, uint16_t port) = 0;
  /// Connect, then the TLS handshake: the link reports connected only once the
  /// handshake is done; a failed handshake reports as a failed connect, with
  /// TlsError() telling why.
  virtual void ConnectTls(const std::string& local_addr, const std::string& addr, uint16_t port,
                          const TTlsClientOptions& tls) = 0;
  /// Why the TLS handshake failed ("certificate verify failed: ..."); empty
  /// when it did not, or for a plain connection.
  virtual std::string TlsError() const = 0;
  /// The TLS handshake failed: a link's, or a user's on the TLS port (whose
  /// connection then ends as a reset would); false for a session that failed
  /// after its handshake.
  virtual bool TlsHandshakeFailed() const = 0;

  // Back-pressure: the output's marks, the pause of reading.
  virtual bool BufferHigh() const = 0;
  /// Bytes the peer has been handed so far.
  virtual int64_t WriteCount() const = 0;
  virtual void PauseReading() = 0;
  virtual void ResumeReading() = 0;

  TConnectionChange OnChangeState;
  TConnectionEvent OnSessionConnected;
  TConnectionEvent OnDataAvailable;
  TConnectionEvent OnSessionClosed;
  TConnectionNotify OnBufferHigh;
  TConnectionNotify OnBufferLow;
};

/// Where users come in.
class TListener {
 public:
  virtual ~TListener() = default;
  /// Where the next Listen listens: empty for every local address of both
  /// families (IPv4 users are seen by their dotted address), else one address.
  std::string Address;
  /// Listens on Address at the port (decimal text or service name).
  /// Raises ESocketException (kListenBind with 10048 for a port in use, 10013
  /// for a port refused to this user).
  virtual void Listen(const std::string& port) = 0;
  /// The certificate that makes the connections taken from the next Listen on
  /// TLS sessions; nullptr: plain.
  virtual void SetTls(std::shared_ptr<TTlsServerContext> context) = 0;
  /// Stops taking connections; those taken stay.
  virtual void Close() = 0;
  virtual bool Listening() const = 0;
  /// The port listened on; 0 while closed.
  virtual int BoundPort() const = 0;

  /// A user's connection, taken: the handler owns it from here.
  std::function<void(std::unique_ptr<TConnection> client)> OnAccept;
};

/// What a host lookup found: every address (dotted IPv4 or compressed IPv6) in
/// the resolver's order, or why there is none.
struct TResolution {
  std::vector<std::string> Addresses;
  /// 0, or the Windows Sockets number of the failure (11001: no such host;
  /// 10022: no host name at all); never 0 without an address.
  int Error = 0;

  /// The first IPv4 address of the answer, else the first of any family.
  std::string FirstV4() const {
    for (const std::string& a : Addresses) {
      if (a.find(':') == std::string::npos) return a;
    }
    return Addresses.empty() ? std::string() : Addresses.front();
  }
};

class TTransport {
 public:
  virtual ~TTransport() = default;
  virtual TListener& Listener() = 0;
  /// The second listener, for users who come with TLS.
  virtual TListener& TlsListener() = 0;
  /// A closed connection for a server link.
  virtual std::unique_ptr<TConnection> NewConnection() = 0;
  /// Looks a host name up; `done` runs later, as a task, with the answer.
  virtual void ResolveHost(const std::string& name, std::function<void(const TResolution&)> done) = 0;
};

}  // namespace kelvox
