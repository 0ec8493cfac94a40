// Stand-alone conversions of host, port and protocol texts, used by Connect and
// Listen and by the bouncer's own address checks. All lookups block the caller.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "net/ip_address.h"

namespace kelvox {

/// Removes every leading and trailing byte from 0x00 to 0x20.
std::string TrimControls(const std::string& text);

/// True when the text is a dotted-quad IPv4 literal: four decimal groups of at most
/// 255, leading spaces and trailing spaces allowed, nothing else.
bool WSocketIsDottedQuad(const std::string& text);

/// An IPv6 literal ("2001:db8::1", also in brackets) of at most 256 characters,
/// blanks and controls around it ignored; nullopt for any other text.
std::optional<TIpAddress> Ipv6Literal(const std::string& text);

/// IPv4 address of a dotted quad or host name, in network byte order.
/// Raises ESocketException (kHostName, kHostAddress, kResolveHost).
uint32_t WSocketResolveHost(const std::string& text);

/// An IPv6 literal ("2001:db8::1", also in brackets) as it is; anything else as
/// WSocketResolveHost takes it (IPv4 only), with its exceptions.
TIpAddress WSocketResolveHostIp(const std::string& text);

/// Port number (host order) of a decimal text or a service name for the protocol.
/// A text starting with a digit must be all digits and at most 65535.
/// Raises ESocketException (kPortText, kResolvePort).
uint16_t WSocketResolvePort(const std::string& text, const std::string& proto);

/// Protocol number of a decimal text or a protocol name ("tcp" gives 6).
/// Raises ESocketException (kProtoText, kResolveProto).
int WSocketResolveProto(const std::string& text);

}  // namespace kelvox
