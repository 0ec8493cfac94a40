// Socket errors: the exception every socket operation raises, the Windows Sockets
// error numbers that events and failures carry, their English descriptions, and
// every message of the layer, made here from the step that failed and the number.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace kelvox {

/// What the socket layer was doing when it failed. A failure is told apart by
/// its step and its number, never by its message; the message (the comment's
/// form, with <text> the text quoted and <n> the number) is for people and logs.
enum class TSocketStep : uint8_t {
  // A call that the socket's state or settings do not allow (number 10022
  // unless said otherwise).
  kNotClosed,     // "Cannot change <text> if not closed"
  kLocalAddress,  // "SetLocalAddr(): Invalid IP address"
  kInUse,         // "Connect: Socket already in use"
  kNoPort,        // "Connect: No Port Specified"
  kNoAddress,     // "Connect: No IP Address Specified"
  kNoProto,       // "Connect: No Protocol Specified"
  kTlsServer,     // "StartTlsServer: <text>"
  // Reading a host, port or protocol text (a bad text: 10022). Connect and
  // Listen put "connect: " or "listen: " in front (see Within).
  kHostName,      // "WSocketResolveHost: '<text>' Invalid Hostname."
  kHostAddress,   // "WSocketResolveHost: '<text>' Invalid IP address."
  kResolveHost,   // "WSocketResolveHost: Cannot convert host address '<text>', Error #<n>"
  kPortText,      // "WSocketResolvePort: Invalid Port."
  kResolvePort,   // "WSocketResolvePort: Cannot convert port '<text>', Error #<n>"
  kProtoText,     // "WSocketResolveProto: Invalid Protocol."
  kResolveProto,  // "WSocketResolveProto: Cannot convert protocol '<text>', Error #<n>"
  // Connect's bind to the local address.
  kBind,          // "winsock.bind failed, error #<n>"
  kBoundName,     // "winsock.getsockname failed, error #<n>"
  // The error reports: "Error <n> in function <function>\r\n<description of n>".
  kOpen,          // Connect (socket)
  kLinger,        // setsockopt(SO_LINGER)
  kKeepAlive,     // setsockopt(SO_KEEPALIVE)
  kReuseAddress,  // setsockopt(SO_REUSEADDR)
  kSelect,        // WSAAsyncSelect
  kConnect,       // Connect
  kSend,          // Send
  kPending,       // ioctlSocket
  kPeerName,      // GetPeerName
  kPeerPort,      // GetPeerPort
  kDup,           // Dup
  kListenNoPort,  // listen: port not assigned
  kListenNoProto, // listen: protocol not assigned
  kListenNoAddress,  // listen: address not assigned
  kListenOpen,    // socket
  kListenBind,    // Bind
  kListen,        // Listen
  kListenSelect,  // WSAASyncSelect
  kAccept,        // not a listening socket (the last step: the messages'
                  // table in wsocket_errors.cpp lists every step in this order)
};

/// The call a resolution failed in, which its message names first.
enum class TSocketCall : uint8_t { kNone, kConnect, kListen };

/// Raised by every failing operation of the socket layer: the step, the Windows
/// Sockets number, and the text the message quotes (a host name, a setting's
/// name), if any. what() is the layer's message for them.
class ESocketException : public std::runtime_error {
 public:
  ESocketException(TSocketStep step, int code, std::string text = {}, TSocketCall within = TSocketCall::kNone);

  TSocketStep Step() const { return step_; }
  int Code() const { return code_; }
  /// The same failure, raised by Connect or Listen.
  ESocketException Within(TSocketCall call) const { return {step_, code_, text_, call}; }
  /// What went wrong in a few words: the number's description for an error
  /// report ("Address already in use"), the whole message for anything else.
  std::string Cause() const;

 private:
  TSocketStep step_;
  int code_;
  std::string text_;
};

// The Windows Sockets numbers the layer reports. Linux errno values are translated
// into these by WsaFromErrno, so events, LastError and messages read the same
// whatever the platform.
inline constexpr int WSAEWOULDBLOCK = 10035;
inline constexpr int WSAEINPROGRESS = 10036;
inline constexpr int WSAENOTSOCK = 10038;
inline constexpr int WSAEINVAL = 10022;
inline constexpr int WSAEACCES = 10013;
inline constexpr int WSAEMFILE = 10024;
inline constexpr int WSAEADDRINUSE = 10048;
inline constexpr int WSAEADDRNOTAVAIL = 10049;
inline constexpr int WSAECONNABORTED = 10053;
inline constexpr int WSAECONNRESET = 10054;
inline constexpr int WSAENOBUFS = 10055;
inline constexpr int WSAENOTCONN = 10057;
inline constexpr int WSAETIMEDOUT = 10060;
inline constexpr int WSAECONNREFUSED = 10061;
inline constexpr int WSANOTINITIALISED = 10093;
inline constexpr int WSAHOST_NOT_FOUND = 11001;
inline constexpr int WSATRY_AGAIN = 11002;
inline constexpr int WSANO_RECOVERY = 11003;
inline constexpr int WSANO_DATA = 11004;

/// The description of a Windows Sockets error number; "Not a WinSock error" for any
/// number outside the table. Never fails.
std::string WSocketErrorText(int code);

/// Translates a Linux errno value into the Windows Sockets number of the same
/// meaning. A value without a counterpart is returned unchanged.
int WsaFromErrno(int err);

/// Translates a getaddrinfo() result (EAI_*) into a Windows Sockets number.
int WsaFromGaiError(int gai_err, int saved_errno);

}  // namespace kelvox
