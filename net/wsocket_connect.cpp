// How a socket gets its connection: Connect's resolution, local bind, options
// and non-blocking connect, and Dup, which adopts one accepted by a listener.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "net/os_socket.h"
#include "net/resolve.h"
#include "net/wsocket.h"

namespace kelvox {

void TWSocket::ResolveRemote(TSocketCall within) {
  try {
    if (!proto_resolved_) {
      proto_number_ = WSocketResolveProto(proto_);
      socket_type_ = proto_number_ == 17 ? SOCK_DGRAM : SOCK_STREAM;
      proto_resolved_ = true;
    }
    if (!port_resolved_) {
      port_number_ = WSocketResolvePort(port_, proto_);
      port_resolved_ = true;
    }
    if (!addr_resolved_) {
      addr_ip_ = WSocketResolveHostIp(addr_);
      addr_resolved_ = true;
    }
  } catch (const ESocketException& e) {
    throw e.Within(within);
  }
}

void TWSocket::ApplyLinger() {
  if (LingerOnOff == wsLingerNoSet) return;
  if (os::SetLinger(handle_, LingerOnOff == wsLingerOn, LingerTimeout) != 0) {
    FireError(TSocketStep::kLinger, os::LastError());
  }
}

void TWSocket::TuneConnection() {
  // Lines are relayed as they come: holding a small write back until the last
  // one is acknowledged would delay the second of two notices by the peer's
  // delayed acknowledgement (40 ms and more). A peer that vanished without a
  // word (its machine off, its network gone) is found by keep-alive probes
  // within two minutes instead of hours. Best effort: a socket without either
  // still works.
  os::SetFlag(handle_, IPPROTO_TCP, TCP_NODELAY, true);
  os::SetKeepAlive(handle_, kKeepAliveIdleS, kKeepAliveIntervalS, kKeepAliveProbes);
}

void TWSocket::Connect() {
  if (handle_ >= 0 && state_ != wsClosed) throw ESocketException(TSocketStep::kInUse, WSAEINVAL);
  if (!port_assigned_) throw ESocketException(TSocketStep::kNoPort, WSAEINVAL);
  if (!addr_assigned_) throw ESocketException(TSocketStep::kNoAddress, WSAEINVAL);
  if (!proto_assigned_) throw ESocketException(TSocketStep::kNoProto, WSAEINVAL);
  try {
    if (!local_port_resolved_) {
      local_port_number_ = WSocketResolvePort(local_port_, proto_);
      local_port_resolved_ = true;
    }
  } catch (const ESocketException& e) {
    throw e.Within(TSocketCall::kConnect);
  }
  ResolveRemote(TSocketCall::kConnect);
  FirePendingClose();
  DiscardSendQueue();
  DropInput();
  tls_error_.clear();
  tls_handshake_failed_ = false;

  const int fd = os::OpenSocket(addr_ip_, socket_type_, proto_number_);
  if (fd < 0) FireError(TSocketStep::kOpen, os::LastError());
  TakeHandle(fd, false);
  ChangeState(wsOpened);

  if (local_port_number_ != 0 || local_addr_ != "0.0.0.0") {
    if (os::Bind(fd, WSocketResolveHostIp(local_addr_), local_port_number_) != 0) {
      throw ESocketException(TSocketStep::kBind, os::LastError());
    }
    TIpAddress bound_addr;
    uint16_t bound_port = 0;
    if (os::LocalName(fd, bound_addr, bound_port) != 0) {
      throw ESocketException(TSocketStep::kBoundName, os::LastError());
    }
    local_port_ = std::to_string(bound_port);
  }
  ApplyLinger();
  if (os::SetFlag(fd, SOL_SOCKET, SO_KEEPALIVE, true) != 0) {
    FireError(TSocketStep::kKeepAlive, os::LastError());
  }
  if (os::SetFlag(fd, SOL_SOCKET, SO_REUSEADDR, true) != 0) {
    FireError(TSocketStep::kReuseAddress, os::LastError());
  }
  TuneConnection();
  WatchHandle(EPOLLOUT);
  if (os::ConnectTo(fd, addr_ip_, port_number_) != 0) {
    const int err = os::LastError();
    if (err != WSAEWOULDBLOCK && err != WSAEINPROGRESS) {
      last_error_ = err;
      FireError(TSocketStep::kConnect, err);
    }
  }
  ChangeState(wsConnecting);
}

void TWSocket::Dup(int handle) {
  // Descriptor 0 is a valid socket on Linux; only a negative one is invalid.
  if (handle < 0) FireError(TSocketStep::kDup, WSAEINVAL);
  FirePendingClose();
  if (state_ != wsClosed) {
    ReleaseHandle(Release::kPlain);
    ChangeState(wsClosed);
  }
  TakeHandle(handle, true);
  tls_error_.clear();
  tls_handshake_failed_ = false;
  ApplyLinger();
  TuneConnection();
  WatchHandle(kReadInterest);
  ChangeState(wsConnected);
}

}  // namespace kelvox
