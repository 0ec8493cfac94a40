#include "config/password.h"

#include <cstddef>
#include <optional>

namespace kelvox {

namespace {

constexpr char kHexMark = '!';
constexpr std::string_view kHexDigits = "0123456789ABCDEF";

// Adds (sign +1) or removes (sign -1) the key, byte by byte.
std::string ApplyKey(std::string_view text, int sign) {
  std::string out(text);
  for (std::size_t i = 0; i < out.size(); ++i) {
    const int key = static_cast<unsigned char>(kScrambleKey[i % kScrambleKey.size()]);
    const int value = static_cast<unsigned char>(out[i]) + sign * key;
    out[i] = static_cast<char>(static_cast<unsigned char>(value & 0xFF));
  }
  return out;
}

// Whether the text reads back unchanged from an INI value: the reader splits at
// line ends and trims blanks at both ends.
bool SafeInIniValue(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) < 0x20) return false;
  }
  return text.empty() || (text.front() != ' ' && text.back() != ' ' && text.front() != kHexMark);
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::optional<std::string> FromHex(std::string_view hex) {
  if (hex.size() % 2 != 0) return std::nullopt;
  std::string bytes;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    const int high = HexValue(hex[i]);
    const int low = HexValue(hex[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes.push_back(static_cast<char>(high * 16 + low));
  }
  return bytes;
}

}  // namespace

std::string ScramblePassword(std::string_view password) {
  std::string scrambled = ApplyKey(password, +1);
  if (SafeInIniValue(scrambled)) return scrambled;
  std::string stored(1, kHexMark);
  for (char c : scrambled) {
    const auto byte = static_cast<unsigned char>(c);
    stored.push_back(kHexDigits[byte >> 4]);
    stored.push_back(kHexDigits[byte & 0x0F]);
  }
  return stored;
}

std::string UnscramblePassword(std::string_view stored) {
  if (!stored.empty() && stored.front() == kHexMark) {
    if (const auto scrambled = FromHex(stored.substr(1))) return ApplyKey(*scrambled, -1);
  }
  return ApplyKey(stored, -1);
}

}  // namespace kelvox
