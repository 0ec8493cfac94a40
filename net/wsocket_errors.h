// Socket errors: the exception every socket operation raises, the Windows Sockets
// error numbers that events and messages carry, and their English descriptions.
#pragma once

#include <stdexcept>
#include <string>

namespace kelvox {

/// Raised by every failing operation of the socket layer. Callers tell errors apart
/// by words in the message ("bind", "WSocketResolveHost", "Error 10048 ...").
class ESocketException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The Windows Sockets numbers the layer reports. Linux errno values are translated
// into these by WsaFromErrno, so events, LastError and messages read the same
// whatever the platform.
inline constexpr int WSAEWOULDBLOCK = 10035;
inline constexpr int WSAEINPROGRESS = 10036;
inline constexpr int WSAENOTSOCK = 10038;
inline constexpr int WSAEINVAL = 10022;
inline constexpr int WSAEMFILE = 10024;
inline constexpr int WSAEADDRINUSE = 10048;
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
