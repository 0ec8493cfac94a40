#include "net/ip_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

namespace kelvox {

TIpAddress TIpAddress::V4(uint32_t addr) {
  TIpAddress ip;
  std::memcpy(ip.Bytes.data(), &addr, 4);
  return ip;
}

bool TIpAddress::ParseV6(const std::string& text, TIpAddress& out) {
  std::string body = text;
  if (body.size() >= 2 && body.front() == '[' && body.back() == ']') body = body.substr(1, body.size() - 2);
  in6_addr in6{};
  if (body.find(':') == std::string::npos || inet_pton(AF_INET6, body.c_str(), &in6) != 1) return false;
  out.Family = TFamily::kV6;
  std::memcpy(out.Bytes.data(), &in6, 16);
  return true;
}

bool TIpAddress::Parse(const std::string& text, TIpAddress& out) {
  if (ParseV6(text, out)) return true;
  in_addr in{};
  if (inet_aton(text.c_str(), &in) == 0) return false;
  out = V4(in.s_addr);
  return true;
}

uint32_t TIpAddress::V4Addr() const {
  uint32_t addr = 0;
  if (IsV4()) std::memcpy(&addr, Bytes.data(), 4);
  return addr;
}

bool TIpAddress::IsAny() const {
  const std::size_t size = IsV4() ? 4 : 16;
  for (std::size_t i = 0; i < size; ++i) {
    if (Bytes[i] != 0) return false;
  }
  return true;
}

TIpAddress TIpAddress::Unmapped() const {
  static constexpr uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  if (!IsV6() || std::memcmp(Bytes.data(), kMapped, sizeof kMapped) != 0) return *this;
  TIpAddress ip;
  std::memcpy(ip.Bytes.data(), Bytes.data() + 12, 4);
  return ip;
}

std::string TIpAddress::Text() const {
  char text[INET6_ADDRSTRLEN] = {};
  inet_ntop(IsV4() ? AF_INET : AF_INET6, Bytes.data(), text, sizeof text);
  return text;
}

}  // namespace kelvox
