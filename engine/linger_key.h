// The key that names a lingering session: a later CONN with the same key attaches
// to the session instead of opening a link. Keys are secrets: compared in
// constant time, never logged, never shown.
#pragma once

#include <cstddef>
#include <string_view>

namespace kelvox {

inline constexpr std::size_t kMinLingerKey = 12;
inline constexpr std::size_t kMaxLingerKey = 64;

/// Whether the text is a key: 12 to 64 printable ASCII characters (0x21 to
/// 0x7E), no blank among them.
bool IsLingerKey(std::string_view key);

/// Whether two keys are the same, in a time that depends on neither their bytes
/// nor their lengths; a text longer than 64 bytes matches nothing.
bool SameLingerKey(std::string_view a, std::string_view b);

}  // namespace kelvox
