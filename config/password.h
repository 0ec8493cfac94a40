// The scrambled form of the passwords in Config.ini. It keeps a password out of
// casual sight; it is no encryption.
#pragma once

#include <string>
#include <string_view>

namespace kelvox {

/// The secret key, used cyclically over the password's bytes.
inline constexpr std::string_view kScrambleKey = "quiltmared";

/// The stored form of a password. Byte i becomes (password[i] + key[i]) mod 256,
/// which for printable ASCII gives bytes 0x81 to 0xF8, of the password's length.
/// When that form could not survive an INI value (a control byte anywhere, a
/// blank at either end, or the leading '!' of the other form), the stored form is
/// '!' followed by the scrambled bytes in upper-case hexadecimal instead.
std::string ScramblePassword(std::string_view password);

/// The password of a stored form; the inverse of ScramblePassword for every
/// password. A text that begins with '!' but is no even run of hexadecimal digits
/// after it is taken as a plain scrambled form.
std::string UnscramblePassword(std::string_view stored);

}  // namespace kelvox
