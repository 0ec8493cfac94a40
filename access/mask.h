// Address masks of the ban, access and selectable-address lists.
#pragma once

#include <string_view>

namespace kelvox {

/// True when `text` matches `mask`, both taken in lower case: every '*' of the
/// mask stands for any run of characters, possibly empty, every other character
/// for itself ('?' and '.' included). A mask without '*' matches only the
/// identical text; a run of '*' acts as one; an empty mask or an empty text
/// matches nothing. "192.168.*" matches "192.168.0.1"; "a*a" does not match "a".
/// IPv6 addresses are matched in the compressed form the sockets report:
/// "2001:DB8::*" matches "2001:db8::1" (not "2001:db8:1::1", whose text differs).
bool MatchMask(std::string_view mask, std::string_view text);

}  // namespace kelvox
