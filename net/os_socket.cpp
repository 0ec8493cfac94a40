#include "net/os_socket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "net/wsocket_errors.h"

namespace kelvox::os {

namespace {

// Either family in the storage the C API fills; its length in `len`.
socklen_t MakeAddress(const TIpAddress& addr, uint16_t port, sockaddr_storage& ss) {
  ss = {};
  if (addr.IsV4()) {
    auto* sa = reinterpret_cast<sockaddr_in*>(&ss);
    sa->sin_family = AF_INET;
    sa->sin_addr.s_addr = addr.V4Addr();
    sa->sin_port = htons(port);
    return sizeof(sockaddr_in);
  }
  auto* sa6 = reinterpret_cast<sockaddr_in6*>(&ss);
  sa6->sin6_family = AF_INET6;
  std::memcpy(&sa6->sin6_addr, addr.Bytes.data(), 16);
  sa6->sin6_port = htons(port);
  return sizeof(sockaddr_in6);
}

int NameOf(int fd, bool peer, TIpAddress& addr, uint16_t& port) {
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  auto* sa = reinterpret_cast<sockaddr*>(&ss);
  const int rc = peer ? getpeername(fd, sa, &len) : getsockname(fd, sa, &len);
  if (rc == 0) addr = FromStorage(sa, &port);
  return rc;
}

}  // namespace

TIpAddress FromStorage(const sockaddr* sa, uint16_t* port) {
  // Copied rather than cast: a sockaddr does not promise the others' alignment.
  if (sa->sa_family == AF_INET6) {
    sockaddr_in6 sa6{};
    std::memcpy(&sa6, sa, sizeof sa6);
    TIpAddress ip;
    ip.Family = TIpAddress::TFamily::kV6;
    std::memcpy(ip.Bytes.data(), &sa6.sin6_addr, 16);
    if (port != nullptr) *port = ntohs(sa6.sin6_port);
    return ip.Unmapped();
  }
  sockaddr_in sa4{};
  std::memcpy(&sa4, sa, sizeof sa4);
  if (port != nullptr) *port = ntohs(sa4.sin_port);
  return TIpAddress::V4(sa4.sin_addr.s_addr);
}

int LastError() { return WsaFromErrno(errno); }

int OpenSocket(const TIpAddress& like, int type, int protocol) {
  return socket(like.IsV4() ? AF_INET : AF_INET6, type | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
}

int CloseHandle(int fd) { return close(fd); }

int Shutdown(int fd, int how) { return shutdown(fd, how); }

int Bind(int fd, const TIpAddress& addr, uint16_t port) {
  sockaddr_storage ss{};
  const socklen_t len = MakeAddress(addr, port, ss);
  return bind(fd, reinterpret_cast<const sockaddr*>(&ss), len);
}

int ListenOn(int fd, int backlog) { return listen(fd, backlog); }

int AcceptOne(int fd) { return accept4(fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC); }

int ConnectTo(int fd, const TIpAddress& addr, uint16_t port) {
  sockaddr_storage ss{};
  const socklen_t len = MakeAddress(addr, port, ss);
  return connect(fd, reinterpret_cast<const sockaddr*>(&ss), len);
}

ssize_t SendBytes(int fd, const void* data, size_t len, bool urgent) {
  return send(fd, data, len, MSG_NOSIGNAL | (urgent ? MSG_OOB : 0));
}

ssize_t ReceiveBytes(int fd, void* buf, size_t len) { return recv(fd, buf, len, 0); }

int PendingBytes(int fd) {
  int count = 0;
  if (ioctl(fd, FIONREAD, &count) != 0) return -1;
  return count;
}

int PendingError(int fd) {
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return LastError();
  return err == 0 ? 0 : WsaFromErrno(err);
}

int SetLinger(int fd, bool on, int seconds) {
  linger l{};
  l.l_onoff = on ? 1 : 0;
  l.l_linger = seconds & 0xFFFF;
  return setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
}

int SetFlag(int fd, int level, int option, bool on) {
  const int value = on ? 1 : 0;
  return setsockopt(fd, level, option, &value, sizeof value);
}

int SetKeepAlive(int fd, int idle_s, int interval_s, int count) {
  const int on = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0) return -1;
  if (setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle_s, sizeof idle_s) != 0) return -1;
  if (setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval_s, sizeof interval_s) != 0) return -1;
  return setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
}

int PeerName(int fd, TIpAddress& addr, uint16_t& port) { return NameOf(fd, true, addr, port); }
int LocalName(int fd, TIpAddress& addr, uint16_t& port) { return NameOf(fd, false, addr, port); }

namespace {

// Names under "invalid" never exist; they are answered here, without asking a
// name server (RFC 6761, section 6.4).
bool IsInvalidName(std::string name) {
  while (!name.empty() && name.back() == '.') name.pop_back();
  for (char& c : name) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  return name == "invalid" || (name.size() > 8 && name.compare(name.size() - 8, 8, ".invalid") == 0);
}

}  // namespace

int LookupHostAll(const std::string& name, std::vector<TIpAddress>& addrs) {
  if (IsInvalidName(name)) return WSAHOST_NOT_FOUND;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* answer = nullptr;
  const int rc = getaddrinfo(name.c_str(), nullptr, &hints, &answer);
  if (rc != 0) return WsaFromGaiError(rc, errno);
  for (const addrinfo* a = answer; a != nullptr; a = a->ai_next) {
    if (a->ai_family != AF_INET && a->ai_family != AF_INET6) continue;
    const TIpAddress ip = FromStorage(a->ai_addr, nullptr);
    if (std::find(addrs.begin(), addrs.end(), ip) == addrs.end()) addrs.push_back(ip);
  }
  freeaddrinfo(answer);
  return addrs.empty() ? WSANO_DATA : 0;
}

int LookupHostAll(const std::string& name, std::vector<uint32_t>& addrs) {
  std::vector<TIpAddress> all;
  if (const int err = LookupHostAll(name, all); err != 0) return err;
  for (const TIpAddress& ip : all) {
    if (ip.IsV4()) addrs.push_back(ip.V4Addr());
  }
  return addrs.empty() ? WSANO_DATA : 0;
}

int LookupHost(const std::string& name, uint32_t& addr) {
  std::vector<uint32_t> addrs;
  if (const int err = LookupHostAll(name, addrs); err != 0) return err;
  addr = addrs.front();
  return 0;
}

int LookupService(const std::string& name, const std::string& protocol, uint16_t& port) {
  servent entry{};
  servent* found = nullptr;
  std::vector<char> scratch(4096);
  getservbyname_r(name.c_str(), protocol.empty() ? nullptr : protocol.c_str(), &entry,
                  scratch.data(), scratch.size(), &found);
  if (found == nullptr) return WSANO_DATA;
  port = ntohs(static_cast<uint16_t>(found->s_port));
  return 0;
}

int LookupProtocol(const std::string& name, int& number) {
  protoent entry{};
  protoent* found = nullptr;
  std::vector<char> scratch(4096);
  getprotobyname_r(name.c_str(), &entry, scratch.data(), scratch.size(), &found);
  if (found == nullptr) return WSANO_DATA;
  number = found->p_proto;
  return 0;
}

uint32_t ParseAddress(const std::string& text) { return inet_addr(text.c_str()); }

std::string DottedText(uint32_t addr) {
  char text[INET_ADDRSTRLEN] = {};
  in_addr in{};
  in.s_addr = addr;
  inet_ntop(AF_INET, &in, text, sizeof text);
  return text;
}

}  // namespace kelvox::os
