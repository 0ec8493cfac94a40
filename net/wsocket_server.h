// The listening server and its ordered list of accepted clients. A client's index
// in the list is the user's slot, so the list only grows at its end (accept) and
// only shrinks right after a client's departure has been announced.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "net/wsocket.h"

namespace kelvox {

class TWSocketServer;

/// One accepted connection.
class TWSocketClient : public TWSocket {
 public:
  explicit TWSocketClient(TEventLoop& loop) : TWSocket(loop) {}

  std::string Banner;
  TWSocketServer* Server() const { return server_; }
  bool ClosePosted() const { return close_posted_; }

  /// The peer's address and port as captured right after the accept; they stay
  /// readable after the connection has closed.
  std::string PeerAddr() override { return peer_addr_; }
  std::string PeerPort() override { return peer_port_; }
  void Dup(int handle) override;

 protected:
  /// The first end of the connection, however it happens, posts the client's
  /// departure to its server; later ends do nothing.
  void TriggerSessionClosed(uint16_t Error) override;
  void ConnectionDropped() override;

 private:
  friend class TWSocketServer;
  bool AnnounceDeparture();

  TWSocketServer* server_ = nullptr;
  std::string peer_addr_ = "error";
  std::string peer_port_ = "error";
  bool close_posted_ = false;
};

using TWSocketClientCreateEvent = std::function<void(TWSocketServer* Sender, TWSocketClient* Client)>;
using TWSocketClientConnectEvent =
    std::function<void(TWSocketServer* Sender, TWSocketClient* Client, uint16_t Error)>;
/// Makes the object for an accepted connection (the program's own client class).
using TWSocketClientClass = std::function<std::unique_ptr<TWSocketClient>(TEventLoop& loop)>;

class TWSocketServer : public TWSocket {
 public:
  /// The deferred message that announces a client's departure.
  static constexpr unsigned WM_CLIENT_GONE = 0x041E;
  /// Connections the OS may hold for the accept: as many as the system allows
  /// (listen caps it at net.core.somaxconn), so that a burst of connections is
  /// never answered with the retries of a full queue.
  static constexpr int kListenBacklog = std::numeric_limits<int>::max();

  explicit TWSocketServer(TEventLoop& loop);
  /// Destroys every client, last first, without OnClientDisconnect.
  ~TWSocketServer() override;

  /// Starts listening on Addr:Port. Raises ESocketException (kListenBind with
  /// 10048 for a port in use) and stays closed then. Addr "::" listens
  /// on both families; IPv4 clients' PeerAddr is their dotted address.
  void Listen();

  int ClientCount() const { return static_cast<int>(clients_.size()); }
  /// Takes a client out of the list for a caller that keeps its own (the
  /// engine's session table): the caller owns it from here, and its end is no
  /// longer announced to the server.
  std::unique_ptr<TWSocketClient> Release(TWSocketClient* client);
  /// The client at a 0-based index, or nullptr outside 0 .. ClientCount() - 1.
  TWSocketClient* ClientAt(int index) const;
  int64_t AcceptCount() const { return accept_count_; }

  std::string Banner;
  std::string BannerToBusy;
  TWSocketClientClass ClientType;
  int MaxClients = 0;
  TWSocketClientCreateEvent OnClientCreate;
  TWSocketClientConnectEvent OnClientConnect;
  TWSocketClientConnectEvent OnClientDisconnect;

 protected:
  /// The accept: takes the pending connection into a new listed client.
  void TriggerSessionAvailable(uint16_t Error) override;

 private:
  friend class TWSocketClient;
  void PostClientGone(TWSocketClient* client);
  void ClientGone(TWSocketClient* client);
  int AcceptPending();

  std::vector<std::unique_ptr<TWSocketClient>> clients_;
  int64_t accept_count_ = 0;
  int reserve_fd_ = -1;  // given up for a moment when descriptors run out
};

}  // namespace kelvox
