#include "net/resolve.h"

#include <cstddef>

#include "net/os_socket.h"
#include "net/wsocket_errors.h"

namespace kelvox {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool IsControlOrSpace(char c) { return static_cast<unsigned char>(c) <= 0x20; }

// Decimal value of an all-digit text, or -1 when it is not one or exceeds limit.
long AllDigitsValue(const std::string& text, long limit) {
  if (text.empty()) return -1;
  long value = 0;
  for (char c : text) {
    if (!IsDigit(c)) return -1;
    value = value * 10 + (c - '0');
    if (value > limit) return -1;
  }
  return value;
}

}  // namespace

std::string TrimControls(const std::string& text) {
  std::size_t first = 0;
  std::size_t last = text.size();
  while (first < last && IsControlOrSpace(text[first])) ++first;
  while (last > first && IsControlOrSpace(text[last - 1])) --last;
  return text.substr(first, last - first);
}

bool WSocketIsDottedQuad(const std::string& text) {
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n && text[i] == ' ') ++i;
  if (i < n && text[i] == '.') return false;
  long group = 0;
  int dots = 0;
  for (; i < n; ++i) {
    const char c = text[i];
    if (IsDigit(c)) {
      // Saturate: any value above 255 is as wrong as its exact size.
      group = group > 255 ? group : group * 10 + (c - '0');
    } else if (c == '.') {
      if (++dots > 3 || group > 255 || i + 1 == n || !IsDigit(text[i + 1])) return false;
      group = 0;
    } else {
      while (i < n && text[i] == ' ') ++i;
      if (i == n) break;
      return false;
    }
  }
  return dots == 3 && group <= 255;
}

uint32_t WSocketResolveHost(const std::string& text) {
  if (text.empty() || text.size() > 256) {
    throw ESocketException(TSocketStep::kHostName, WSAEINVAL, text);
  }
  const std::string host = TrimControls(text);
  if (WSocketIsDottedQuad(host)) {
    const uint32_t addr = os::ParseAddress(host);
    if (addr == 0xFFFFFFFFu && host != "255.255.255.255") {
      throw ESocketException(TSocketStep::kHostAddress, WSAEINVAL, text);
    }
    return addr;
  }
  uint32_t addr = 0;
  if (const int err = os::LookupHost(host, addr); err != 0) {
    throw ESocketException(TSocketStep::kResolveHost, err, text);
  }
  return addr;
}

std::optional<TIpAddress> Ipv6Literal(const std::string& text) {
  TIpAddress ip;
  if (text.size() > 256 || !TIpAddress::ParseV6(TrimControls(text), ip)) return std::nullopt;
  return ip;
}

TIpAddress WSocketResolveHostIp(const std::string& text) {
  if (const auto ip = Ipv6Literal(text)) return *ip;
  return TIpAddress::V4(WSocketResolveHost(text));
}

uint16_t WSocketResolvePort(const std::string& text, const std::string& proto) {
  if (text.empty() || text.size() >= 32) throw ESocketException(TSocketStep::kPortText, WSAEINVAL);
  if (IsDigit(text[0])) {
    const long value = AllDigitsValue(TrimControls(text), 65535);
    if (value < 0) throw ESocketException(TSocketStep::kPortText, WSAEINVAL);
    return static_cast<uint16_t>(value);
  }
  uint16_t port = 0;
  if (const int err = os::LookupService(TrimControls(text), TrimControls(proto), port); err != 0) {
    throw ESocketException(TSocketStep::kResolvePort, err, text);
  }
  return port;
}

int WSocketResolveProto(const std::string& text) {
  if (text.empty() || text.size() >= 32) {
    throw ESocketException(TSocketStep::kProtoText, WSAEINVAL);
  }
  const std::string name = TrimControls(text);
  if (!name.empty() && IsDigit(name[0])) {
    long value = 0;
    for (std::size_t i = 0; i < name.size() && IsDigit(name[i]) && value < 1000000; ++i) {
      value = value * 10 + (name[i] - '0');
    }
    return static_cast<int>(value);
  }
  int number = 0;
  if (const int err = os::LookupProtocol(name, number); err != 0) {
    throw ESocketException(TSocketStep::kResolveProto, err, text);
  }
  return number;
}

}  // namespace kelvox
