// Cutting a command line into its words. Blanks and tabs separate words; what
// follows the last word a command takes is kept as it is, blanks included, so
// that an entry like " 10.0.0.5 " survives the console.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "base/text_case.h"

namespace kelvox {

inline bool IsBlank(char c) { return c == ' ' || c == '\t'; }

/// The text without blanks and tabs at either end.
inline std::string TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return std::string(text);
}

/// The first word, after any blanks before it, and the rest of the text after
/// the one blank or tab that ends the word.
inline std::pair<std::string, std::string> SplitWord(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  std::size_t end = 0;
  while (end < text.size() && !IsBlank(text[end])) ++end;
  const std::string word(text.substr(0, end));
  return {word, end < text.size() ? std::string(text.substr(end + 1)) : std::string()};
}

}  // namespace kelvox
