// The only place where the socket layer calls into the operating system. Each call
// returns what the POSIX call returns; after a failure, LastError() gives the
// Windows Sockets number of the cause. Later transports (TLS, IPv6, lookups off
// the event thread) replace or extend these functions, not the socket classes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>
#include <sys/types.h>

#include "net/ip_address.h"

struct sockaddr;

namespace kelvox::os {

inline constexpr int kInvalidHandle = -1;

/// Windows Sockets number of the last failed call on this thread.
int LastError();

/// A non-blocking, close-on-exec socket of the family of `like` (IPv4 or
/// IPv6), the given type (SOCK_STREAM or SOCK_DGRAM) and protocol number.
int OpenSocket(const TIpAddress& like, int type, int protocol);
int CloseHandle(int fd);
int Shutdown(int fd, int how);
int Bind(int fd, const TIpAddress& addr, uint16_t port);
int ListenOn(int fd, int backlog);
/// Accepts one pending connection as a non-blocking, close-on-exec socket.
int AcceptOne(int fd);
/// Starts a non-blocking connect; -1 with LastError() 10036 while in progress.
int ConnectTo(int fd, const TIpAddress& addr, uint16_t port);
/// Sends without ever raising SIGPIPE; urgent sends out-of-band data.
ssize_t SendBytes(int fd, const void* data, size_t len, bool urgent);
ssize_t ReceiveBytes(int fd, void* buf, size_t len);
/// Bytes the OS holds for reading (FIONREAD); -1 on failure.
int PendingBytes(int fd);
/// The pending error of the socket (SO_ERROR), as a Windows Sockets number.
int PendingError(int fd);
int SetLinger(int fd, bool on, int seconds);
int SetFlag(int fd, int level, int option, bool on);
/// TCP keep-alive: the first probe after `idle_s` of silence, then one every
/// `interval_s`, the connection dropped after `count` unanswered.
int SetKeepAlive(int fd, int idle_s, int interval_s, int count);
/// Either family; an IPv4 peer of an IPv6 socket (::ffff:a.b.c.d) comes back as
/// its IPv4 address.
int PeerName(int fd, TIpAddress& addr, uint16_t& port);
int LocalName(int fd, TIpAddress& addr, uint16_t& port);
/// The address of an IPv4 or IPv6 socket address (and its port, when asked),
/// an IPv4-mapped one as its IPv4 address.
TIpAddress FromStorage(const sockaddr* sa, uint16_t* port);

// Name resolution. Each returns 0 or a Windows Sockets number.
/// Blocking IPv4 host lookup; the first address of the answer, network order.
int LookupHost(const std::string& name, uint32_t& addr);
/// Every IPv4 address of the answer, network order, in the resolver's order.
int LookupHostAll(const std::string& name, std::vector<uint32_t>& addrs);
/// Every address of the answer, IPv6 and IPv4, in the resolver's order.
int LookupHostAll(const std::string& name, std::vector<TIpAddress>& addrs);
/// Service database lookup; an empty protocol matches any protocol.
int LookupService(const std::string& name, const std::string& protocol, uint16_t& port);
int LookupProtocol(const std::string& name, int& number);

/// The platform's dotted-address parser (inet_addr): 0xFFFFFFFF when it refuses the
/// text, which is also the value of "255.255.255.255".
uint32_t ParseAddress(const std::string& text);
/// Dotted text of an IPv4 address in network order.
std::string DottedText(uint32_t addr);

}  // namespace kelvox::os
