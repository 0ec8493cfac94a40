// An address of either family as one value: what the sockets bind, connect to
// and report, and what the resolver answers. IPv4 texts are the dotted ones of
// old; IPv6 texts are the compressed form ("2001:db8::1").
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace kelvox {

struct TIpAddress {
  enum class TFamily : uint8_t { kV4, kV6 };

  TFamily Family = TFamily::kV4;
  /// Network order: the first 4 bytes for IPv4, all 16 for IPv6.
  std::array<uint8_t, 16> Bytes{};

  /// An IPv4 address in network order (as the uint32 paths keep it).
  static TIpAddress V4(uint32_t addr);
  /// Reads an IPv4 literal (inet_aton's forms) or an IPv6 literal, with or
  /// without brackets. False when the text is neither.
  static bool Parse(const std::string& text, TIpAddress& out);
  /// Reads an IPv6 literal only ("::1", "[::1]"); a scope ("%eth0") is refused.
  static bool ParseV6(const std::string& text, TIpAddress& out);

  bool IsV4() const { return Family == TFamily::kV4; }
  bool IsV6() const { return Family == TFamily::kV6; }
  /// The IPv4 address in network order; 0 for IPv6.
  uint32_t V4Addr() const;
  /// 0.0.0.0 or ::.
  bool IsAny() const;
  /// An IPv6 address that carries an IPv4 one (::ffff:a.b.c.d), as that IPv4
  /// address; any other address as it is.
  TIpAddress Unmapped() const;
  /// Dotted for IPv4, compressed lower-case for IPv6.
  std::string Text() const;

  friend bool operator==(const TIpAddress&, const TIpAddress&) = default;
};

}  // namespace kelvox
