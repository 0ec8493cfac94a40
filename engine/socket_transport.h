// The transport over the socket layer: users come through a TWSocketServer, and
// every connection is a TWSocket behind the engine's TConnection.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "engine/transport.h"
#include "net/event_loop.h"
#include "net/resolver.h"
#include "net/wsocket.h"
#include "net/wsocket_server.h"

namespace kelvox {

/// A TWSocket seen as a TConnection; it owns the socket.
class TSocketConnection : public TConnection {
 public:
  explicit TSocketConnection(std::unique_ptr<TWSocket> socket);

  TSocketState State() const override { return socket_->State(); }
  int LastError() const override { return socket_->LastError(); }
  std::string PeerAddr() const override { return socket_->PeerAddr(); }
  void SendText(std::string_view text) override { socket_->SendText(text); }
  void SendLine(std::string_view text) override { socket_->SendLine(text); }
  bool ReceiveLine(std::string_view& line) override { return socket_->ReceiveLine(line); }
  std::string_view UnreadText() const override { return socket_->UnreadText(); }
  void Close() override { socket_->Close(); }
  void Connect(const std::string& local_addr, const std::string& addr, uint16_t port) override;
  void ConnectTls(const std::string& local_addr, const std::string& addr, uint16_t port,
                  const TTlsClientOptions& tls) override;
  std::string TlsError() const override { return socket_->TlsError(); }
  bool TlsHandshakeFailed() const override { return socket_->TlsHandshakeFailed(); }
  bool BufferHigh() const override { return socket_->BufferHigh(); }
  int64_t WriteCount() const override { return socket_->WriteCount(); }
  void PauseReading() override { socket_->PauseReading(); }
  void ResumeReading() override { socket_->ResumeReading(); }

  TWSocket& Socket() { return *socket_; }

 private:
  void Open(const std::string& local_addr, const std::string& addr, uint16_t port);

  std::unique_ptr<TWSocket> socket_;
};

/// The listener: the server named "Server" whose clients are handed over.
class TSocketListener : public TListener {
 public:
  explicit TSocketListener(TEventLoop& loop);

  void Listen(const std::string& port) override;
  void SetTls(std::shared_ptr<TTlsServerContext> context) override { context_ = std::move(context); }
  void Close() override { server_.Close(); }
  bool Listening() const override { return server_.State() != wsClosed; }
  int BoundPort() const override { return server_.BoundPort(); }

 private:
  TWSocketServer server_;
  std::shared_ptr<TTlsServerContext> context_;  // the users' TLS sessions; nullptr: plain
};

class TSocketTransport : public TTransport {
 public:
  explicit TSocketTransport(TEventLoop& loop);

  TListener& Listener() override { return listener_; }
  TListener& TlsListener() override { return tls_listener_; }
  std::unique_ptr<TConnection> NewConnection() override;
  /// A dotted address, an IPv6 literal, or a name that cannot be one, is
  /// answered at once (in a task); a host name goes to the resolver's workers,
  /// whose answer lists every address of both families in its order.
  void ResolveHost(const std::string& name, std::function<void(const TResolution&)> done) override;
  /// What looks host names up from now on, on the resolver's workers; the
  /// system's resolver when empty (the default).
  void SetLookup(TResolver::TLookup lookup);

 private:
  struct TLookupSlot {
    std::mutex Mutex;
    TResolver::TLookup Lookup;
  };
  std::shared_ptr<TLookupSlot> lookup_ = std::make_shared<TLookupSlot>();
  TEventLoop& loop_;
  TSocketListener listener_;
  TSocketListener tls_listener_;
  TResolver resolver_;
};

}  // namespace kelvox
