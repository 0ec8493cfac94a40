// Decimal numbers typed by people: settings, tags, list numbers.
#pragma once

#include <cstddef>
#include <string_view>

namespace kelvox {

/// The value of a text made of 1 to max_digits decimal digits and nothing else;
/// -1 for any other text (empty, a sign, a blank, a letter, too many digits).
inline int ParseDecimal(std::string_view text, std::size_t max_digits = 9) {
  if (text.empty() || text.size() > max_digits) return -1;
  int value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

}  // namespace kelvox
