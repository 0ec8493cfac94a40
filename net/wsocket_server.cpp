#include "net/wsocket_server.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "net/os_socket.h"

namespace kelvox {

// --- client -----------------------------------------------------------------

void TWSocketClient::Dup(int handle) {
  TWSocket::Dup(handle);
  peer_addr_ = TWSocket::PeerAddr();
  peer_port_ = TWSocket::PeerPort();
}

bool TWSocketClient::AnnounceDeparture() {
  if (close_posted_) return false;
  close_posted_ = true;
  if (server_ != nullptr) server_->PostClientGone(this);
  return true;
}

void TWSocketClient::TriggerSessionClosed(uint16_t Error) {
  if (AnnounceDeparture()) TWSocket::TriggerSessionClosed(Error);
}

void TWSocketClient::ConnectionDropped() { AnnounceDeparture(); }

// --- server -----------------------------------------------------------------

TWSocketServer::TWSocketServer(TEventLoop& loop) : TWSocket(loop) {}

TWSocketServer::~TWSocketServer() {
  while (!clients_.empty()) {
    std::unique_ptr<TWSocketClient> client = std::move(clients_.back());
    clients_.pop_back();
    try {
      client.reset();
    } catch (...) {
    }
  }
  if (reserve_fd_ >= 0) close(reserve_fd_);
}

TWSocketClient* TWSocketServer::ClientAt(int index) const {
  if (index < 0 || index >= ClientCount()) return nullptr;
  return clients_[static_cast<std::size_t>(index)].get();
}

void TWSocketServer::Listen() {
  if (!PortAssigned()) FireError(TSocketStep::kListenNoPort, WSAEINVAL);
  if (!ProtoAssigned()) FireError(TSocketStep::kListenNoProto, WSAEINVAL);
  if (!AddrAssigned()) FireError(TSocketStep::kListenNoAddress, WSAEINVAL);
  ResolveRemote(TSocketCall::kListen);
  FirePendingClose();
  DiscardSendQueue();

  const int fd = os::OpenSocket(addr_ip_, socket_type_, proto_number_);
  if (fd < 0) FireError(TSocketStep::kListenOpen, os::LastError());
  // "::" takes both families: IPv4 users come as ::ffff:a.b.c.d and are seen
  // as their IPv4 address. An IPv6 literal takes that address only.
  if (addr_ip_.IsV6() && addr_ip_.IsAny()) os::SetFlag(fd, IPPROTO_IPV6, IPV6_V6ONLY, false);
  // Lets a restarted listener take its port back while connections it just closed
  // still wait out their last state; a port held by a live listener stays refused.
  os::SetFlag(fd, SOL_SOCKET, SO_REUSEADDR, true);
  if (os::Bind(fd, addr_ip_, port_number_) != 0) {
    const int err = os::LastError();
    os::CloseHandle(fd);
    FireError(TSocketStep::kListenBind, err);
  }
  TakeHandle(fd, false);
  ChangeState(wsBound);
  if (os::ListenOn(fd, kListenBacklog) != 0) FireError(TSocketStep::kListen, os::LastError());
  ChangeState(wsListening);
  if (reserve_fd_ < 0) reserve_fd_ = open("/dev/null", O_RDONLY | O_CLOEXEC);
  WatchHandle(EPOLLIN, TSocketStep::kListenSelect);
}

int TWSocketServer::AcceptPending() {
  int fd = os::AcceptOne(Handle());
  if (fd >= 0 || os::LastError() != WSAEMFILE || reserve_fd_ < 0) return fd;
  // Out of descriptors: free the reserve to take the connection off the backlog
  // and refuse it, so the readiness does not fire again and again.
  close(reserve_fd_);
  fd = os::AcceptOne(Handle());
  if (fd >= 0) os::CloseHandle(fd);
  reserve_fd_ = open("/dev/null", O_RDONLY | O_CLOEXEC);
  return -1;
}

void TWSocketServer::TriggerSessionAvailable(uint16_t Error) {
  TWSocket::TriggerSessionAvailable(Error);
  if (Error != 0) return;
  if (State() != wsListening) FireError(TSocketStep::kAccept, WSAEINVAL);
  // The connection is taken from the OS before its object exists: a failed accept
  // (the peer already gone, no descriptors left) leaves nothing listed and the
  // listener serving.
  const int fd = AcceptPending();
  if (fd < 0) return;

  ++accept_count_;
  std::unique_ptr<TWSocketClient> owned =
      ClientType ? ClientType(Loop()) : std::make_unique<TWSocketClient>(Loop());
  TWSocketClient* client = owned.get();
  client->server_ = this;
  clients_.push_back(std::move(owned));
  if (OnClientCreate) OnClientCreate(this, client);
  client->Name = Name + "Client" + std::to_string(accept_count_);
  client->Banner = Banner;
  try {
    client->Dup(fd);
  } catch (const ESocketException&) {
    // The peer was gone before it could be taken (its address no longer reads):
    // it never became a user, so it leaves the list unannounced and the listener
    // goes on. The client object owns the descriptor and releases it.
    clients_.pop_back();
    return;
  }
  if (OnClientConnect) OnClientConnect(this, client, 0);

  const auto listed = std::find_if(clients_.begin(), clients_.end(),
                                   [client](const auto& c) { return c.get() == client; });
  if (listed == clients_.end() || client->State() != wsConnected) return;
  if (MaxClients > 0 && ClientCount() > MaxClients) {
    client->Banner = BannerToBusy;
    client->Close();
  }
}

std::unique_ptr<TWSocketClient> TWSocketServer::Release(TWSocketClient* client) {
  const auto it = std::find_if(clients_.begin(), clients_.end(), [client](const auto& c) { return c.get() == client; });
  if (it == clients_.end()) return nullptr;
  std::unique_ptr<TWSocketClient> released = std::move(*it);
  clients_.erase(it);
  released->server_ = nullptr;
  return released;
}

void TWSocketServer::PostClientGone(TWSocketClient* client) {
  Loop().Post(alive_.Guard([this, client] { ClientGone(client); }));
}

void TWSocketServer::ClientGone(TWSocketClient* client) {
  const auto find = [this, client] {
    return std::find_if(clients_.begin(), clients_.end(),
                        [client](const auto& c) { return c.get() == client; });
  };
  if (find() == clients_.end()) return;
  try {
    if (OnClientDisconnect) OnClientDisconnect(this, client, 0);
  } catch (const std::exception& e) {
    HandleBackgroundException(e);
  }
  // Leaving the list moves every later client one index down.
  const auto it = find();
  if (it == clients_.end()) return;
  std::unique_ptr<TWSocketClient> departed = std::move(*it);
  clients_.erase(it);
}

}  // namespace kelvox
