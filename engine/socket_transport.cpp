#include "engine/socket_transport.h"

#include <sys/socket.h>

#include "net/os_socket.h"
#include "net/resolve.h"

namespace kelvox {

TSocketConnection::TSocketConnection(std::unique_ptr<TWSocket> socket) : socket_(std::move(socket)) {
  TWSocket& s = *socket_;
  s.OnChangeState = [this](TWSocket*, TSocketState from, TSocketState to) {
    if (OnChangeState) OnChangeState(this, from, to);
  };
  s.OnSessionConnected = [this](TWSocket*, uint16_t error) {
    if (OnSessionConnected) OnSessionConnected(this, error);
  };
  s.OnDataAvailable = [this](TWSocket*, uint16_t error) {
    if (OnDataAvailable) OnDataAvailable(this, error);
  };
  s.OnSessionClosed = [this](TWSocket*, uint16_t error) {
    if (OnSessionClosed) OnSessionClosed(this, error);
  };
  s.OnBufferHigh = [this](TWSocket*) {
    if (OnBufferHigh) OnBufferHigh(this);
  };
  s.OnBufferLow = [this](TWSocket*) {
    if (OnBufferLow) OnBufferLow(this);
  };
}

void TSocketConnection::ConnectTls(const std::string& local_addr, const std::string& addr, uint16_t port,
                                   const TTlsClientOptions& tls) {
  socket_->SetTlsClient(tls);
  Open(local_addr, addr, port);
}

void TSocketConnection::Connect(const std::string& local_addr, const std::string& addr, uint16_t port) {
  socket_->ClearTls();  // a link used again for a plain server
  Open(local_addr, addr, port);
}

void TSocketConnection::Open(const std::string& local_addr, const std::string& addr, uint16_t port) {
  TWSocket& s = *socket_;
  s.SetLocalAddr(local_addr);
  s.SetAddr(addr);
  s.SetPort(std::to_string(port));
  s.SetProto("tcp");
  s.MultiThreaded = true;
  s.Connect();
}

TSocketListener::TSocketListener(TEventLoop& loop) : server_(loop) {
  server_.Name = "Server";
  server_.Banner = " ";
  server_.BannerToBusy = " ";
  server_.MultiThreaded = true;
  server_.OnClientConnect = [this](TWSocketServer*, TWSocketClient* client, uint16_t) {
    std::unique_ptr<TWSocketClient> taken = server_.Release(client);
    if (!taken) return;
    if (context_) taken->StartTlsServer(context_);
    auto connection = std::make_unique<TSocketConnection>(std::move(taken));
    if (OnAccept) {
      OnAccept(std::move(connection));
    }
  };
}

namespace {

// Every address is "::" (both families) where the system has IPv6, else "0.0.0.0".
std::string EveryAddress() {
  TIpAddress any;
  TIpAddress::ParseV6("::", any);
  const int fd = os::OpenSocket(any, SOCK_STREAM, 0);
  if (fd < 0) return "0.0.0.0";
  os::CloseHandle(fd);
  return "::";
}

}  // namespace

void TSocketListener::Listen(const std::string& port) {
  server_.SetProto("tcp");
  server_.SetAddr(Address.empty() ? EveryAddress() : Address);
  server_.SetPort(port);
  server_.Listen();
}

TSocketTransport::TSocketTransport(TEventLoop& loop)
    : loop_(loop),
      listener_(loop),
      tls_listener_(loop),
      resolver_(loop, [slot = lookup_](const std::string& name, std::vector<TIpAddress>& addresses) {
        TResolver::TLookup lookup;
        {
          const std::lock_guard<std::mutex> lock(slot->Mutex);
          lookup = slot->Lookup;
        }
        return lookup ? lookup(name, addresses) : os::LookupHostAll(name, addresses);
      }) {}

void TSocketTransport::SetLookup(TResolver::TLookup lookup) {
  const std::lock_guard<std::mutex> lock(lookup_->Mutex);
  lookup_->Lookup = std::move(lookup);
}

std::unique_ptr<TConnection> TSocketTransport::NewConnection() {
  return std::make_unique<TSocketConnection>(std::make_unique<TWSocket>(loop_));
}

void TSocketTransport::ResolveHost(const std::string& name, std::function<void(const TResolution&)> done) {
  const std::string host = TrimControls(name);
  if (name.empty() || name.size() > 256 || Ipv6Literal(name) || WSocketIsDottedQuad(host)) {
    // No lookup: the text itself answers (an address, or what is wrong with it).
    TResolution answer;
    try {
      answer.Addresses = {WSocketResolveHostIp(name).Text()};
    } catch (const ESocketException& e) {
      answer.Error = e.Code();
    }
    loop_.Post([done = std::move(done), answer] { done(answer); });
    return;
  }
  resolver_.Lookup(host, [done = std::move(done)](int error, const std::vector<TIpAddress>& addresses) {
    TResolution answer;
    if (error == 0 && !addresses.empty()) {
      for (const TIpAddress& a : addresses) answer.Addresses.push_back(a.Text());
    } else {
      answer.Error = error == 0 ? WSANO_DATA : error;
    }
    done(answer);
  });
}

}  // namespace kelvox
