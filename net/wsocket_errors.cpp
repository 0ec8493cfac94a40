#include "net/wsocket_errors.h"

#include <netdb.h>

#include <cerrno>
#include <cstddef>
#include <iterator>
#include <utility>

namespace kelvox {

namespace {

// The message of each step. In a form, %t stands for the text quoted and %n for
// the number; an error report's form is the name of its function.
struct TStepForm {
  TSocketStep step;
  bool report;
  const char* form;
};

constexpr TStepForm kStepForms[] = {
    {TSocketStep::kNotClosed, false, "Cannot change %t if not closed"},
    {TSocketStep::kLocalAddress, false, "SetLocalAddr(): Invalid IP address"},
    {TSocketStep::kInUse, false, "Connect: Socket already in use"},
    {TSocketStep::kNoPort, false, "Connect: No Port Specified"},
    {TSocketStep::kNoAddress, false, "Connect: No IP Address Specified"},
    {TSocketStep::kNoProto, false, "Connect: No Protocol Specified"},
    {TSocketStep::kTlsServer, false, "StartTlsServer: %t"},
    {TSocketStep::kHostName, false, "WSocketResolveHost: '%t' Invalid Hostname."},
    {TSocketStep::kHostAddress, false, "WSocketResolveHost: '%t' Invalid IP address."},
    {TSocketStep::kResolveHost, false, "WSocketResolveHost: Cannot convert host address '%t', Error #%n"},
    {TSocketStep::kPortText, false, "WSocketResolvePort: Invalid Port."},
    {TSocketStep::kResolvePort, false, "WSocketResolvePort: Cannot convert port '%t', Error #%n"},
    {TSocketStep::kProtoText, false, "WSocketResolveProto: Invalid Protocol."},
    {TSocketStep::kResolveProto, false, "WSocketResolveProto: Cannot convert protocol '%t', Error #%n"},
    {TSocketStep::kBind, false, "winsock.bind failed, error #%n"},
    {TSocketStep::kBoundName, false, "winsock.getsockname failed, error #%n"},
    {TSocketStep::kOpen, true, "Connect (socket)"},
    {TSocketStep::kLinger, true, "setsockopt(SO_LINGER)"},
    {TSocketStep::kKeepAlive, true, "setsockopt(SO_KEEPALIVE)"},
    {TSocketStep::kReuseAddress, true, "setsockopt(SO_REUSEADDR)"},
    {TSocketStep::kSelect, true, "WSAAsyncSelect"},
    {TSocketStep::kConnect, true, "Connect"},
    {TSocketStep::kSend, true, "Send"},
    {TSocketStep::kPending, true, "ioctlSocket"},
    {TSocketStep::kPeerName, true, "GetPeerName"},
    {TSocketStep::kPeerPort, true, "GetPeerPort"},
    {TSocketStep::kDup, true, "Dup"},
    {TSocketStep::kListenNoPort, true, "listen: port not assigned"},
    {TSocketStep::kListenNoProto, true, "listen: protocol not assigned"},
    {TSocketStep::kListenNoAddress, true, "listen: address not assigned"},
    {TSocketStep::kListenOpen, true, "socket"},
    {TSocketStep::kListenBind, true, "Bind"},
    {TSocketStep::kListen, true, "Listen"},
    {TSocketStep::kListenSelect, true, "WSAASyncSelect"},
    {TSocketStep::kAccept, true, "not a listening socket"},
};

// The table is read by a step's value: every step has its row, in order.
constexpr bool InStepOrder() {
  for (std::size_t i = 0; i < std::size(kStepForms); ++i) {
    if (static_cast<std::size_t>(kStepForms[i].step) != i) return false;
  }
  return static_cast<std::size_t>(TSocketStep::kAccept) + 1 == std::size(kStepForms);
}
static_assert(InStepOrder(), "kStepForms lists every TSocketStep in order");

const TStepForm& FormOf(TSocketStep step) { return kStepForms[static_cast<std::size_t>(step)]; }

std::string Message(TSocketStep step, int code, const std::string& text, TSocketCall within) {
  std::string message = within == TSocketCall::kConnect  ? "connect: "
                        : within == TSocketCall::kListen ? "listen: "
                                                         : "";
  const TStepForm& row = FormOf(step);
  if (row.report) {
    return message + "Error " + std::to_string(code) + " in function " + row.form + "\r\n" + WSocketErrorText(code);
  }
  for (const char* c = row.form; *c != '\0'; ++c) {
    if (c[0] == '%' && c[1] == 't') {
      message += text;
      ++c;
    } else if (c[0] == '%' && c[1] == 'n') {
      message += std::to_string(code);
      ++c;
    } else {
      message += *c;
    }
  }
  return message;
}

struct ErrorRow {
  int code;
  const char* text;
};

constexpr ErrorRow kErrorTexts[] = {
    {0, "No Error"},
    {10004, "Interrupted system call"},
    {10009, "Bad file number"},
    {10013, "Permission denied"},
    {10014, "Bad address"},
    {10022, "Invalid argument"},
    {10024, "Too many open files"},
    {10035, "Operation would block"},
    {10036, "Operation now in progress"},
    {10037, "Operation already in progress"},
    {10038, "Socket operation on non-socket"},
    {10039, "Destination address required"},
    {10040, "Message too long"},
    {10041, "Protocol wrong type for socket"},
    {10042, "Protocol not available"},
    {10043, "Protocol not supported"},
    {10044, "Socket type not supported"},
    {10045, "Operation not supported on socket"},
    {10046, "Protocol family not supported"},
    {10047, "Address family not supported by protocol family"},
    {10048, "Address already in use"},
    {10049, "Address not available"},
    {10050, "Network is down"},
    {10051, "Network is unreachable"},
    {10052, "Network dropped connection on reset"},
    {10053, "Connection aborted"},
    {10054, "Connection reset by peer"},
    {10055, "No buffer space available"},
    {10056, "Socket is already connected"},
    {10057, "Socket is not connected"},
    {10058, "Can't send after socket shutdown"},
    {10059, "Too many references: can't splice"},
    {10060, "Connection timed out"},
    {10061, "Connection refused"},
    {10062, "Too many levels of symbolic links"},
    {10063, "File name too long"},
    {10064, "Host is down"},
    {10065, "No route to host"},
    {10066, "Directory not empty"},
    {10067, "Too many processes"},
    {10068, "Too many users"},
    {10069, "Disc quota exceeded"},
    {10070, "Stale NFS file handle"},
    {10071, "Too many levels of remote in path"},
    {10091, "Network sub-system is unusable"},
    {10092, "WinSock DLL cannot support this application"},
    {10093, "WinSock not initialized"},
    {11001, "Host not found"},
    {11002, "Non-authoritative host not found"},
    {11003, "Non-recoverable error"},
    {11004, "No Data"},
};

// errno -> Windows Sockets number. EBADF becomes "not a socket": every call that
// can report it here is a socket call, and that is what Windows Sockets says for a
// released handle. EPIPE is a send on a connection the peer has torn down.
constexpr std::pair<int, int> kErrnoMap[] = {
    {EINTR, 10004},        {EBADF, 10038},         {EACCES, 10013},
    {EPERM, 10013},        {EFAULT, 10014},        {EINVAL, 10022},
    {EMFILE, 10024},       {ENFILE, 10024},        {EAGAIN, 10035},
    {EINPROGRESS, 10036},  {EALREADY, 10037},      {ENOTSOCK, 10038},
    {EDESTADDRREQ, 10039}, {EMSGSIZE, 10040},      {EPROTOTYPE, 10041},
    {ENOPROTOOPT, 10042},  {EPROTONOSUPPORT, 10043}, {ESOCKTNOSUPPORT, 10044},
    {EOPNOTSUPP, 10045},   {EPFNOSUPPORT, 10046},  {EAFNOSUPPORT, 10047},
    {EADDRINUSE, 10048},   {EADDRNOTAVAIL, 10049}, {ENETDOWN, 10050},
    {ENETUNREACH, 10051},  {ENETRESET, 10052},     {ECONNABORTED, 10053},
    {ECONNRESET, 10054},   {EPIPE, 10054},         {ENOBUFS, 10055},
    {ENOMEM, 10055},       {EISCONN, 10056},       {ENOTCONN, 10057},
    {ESHUTDOWN, 10058},    {ETOOMANYREFS, 10059},  {ETIMEDOUT, 10060},
    {ECONNREFUSED, 10061}, {ELOOP, 10062},         {ENAMETOOLONG, 10063},
    {EHOSTDOWN, 10064},    {EHOSTUNREACH, 10065},  {ENOTEMPTY, 10066},
    {EUSERS, 10068},       {EDQUOT, 10069},        {ESTALE, 10070},
    {EREMOTE, 10071},
};

}  // namespace

ESocketException::ESocketException(TSocketStep step, int code, std::string text, TSocketCall within)
    : std::runtime_error(Message(step, code, text, within)), step_(step), code_(code), text_(std::move(text)) {}

std::string ESocketException::Cause() const { return FormOf(step_).report ? WSocketErrorText(code_) : what(); }

std::string WSocketErrorText(int code) {
  for (const ErrorRow& row : kErrorTexts) {
    if (row.code == code) return row.text;
  }
  return "Not a WinSock error";
}

int WsaFromErrno(int err) {
  for (const auto& [linux_err, wsa] : kErrnoMap) {
    if (linux_err == err) return wsa;
  }
  return err;
}

int WsaFromGaiError(int gai_err, int saved_errno) {
  switch (gai_err) {
    case 0: return 0;
    case EAI_NONAME: return WSAHOST_NOT_FOUND;
    case EAI_AGAIN: return WSATRY_AGAIN;
#ifdef EAI_NODATA
    case EAI_NODATA: return WSANO_DATA;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY: return WSANO_DATA;
#endif
    case EAI_MEMORY: return WSAENOBUFS;
    case EAI_SYSTEM: return WsaFromErrno(saved_errno);
    default: return WSANO_RECOVERY;
  }
}

}  // namespace kelvox
