// Reading the lines users and servers send: keywords, arguments, framing.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "config/text_case.h"

namespace kelvox {

/// The longest text a user or server may send without a line end. The longest
/// legitimate IRC line, tags included, stays well under it.
inline constexpr std::size_t kMaxLineLength = 16 * 1024;

/// Whether the line's first word (the text before its first blank) is the
/// keyword, letter case ignored. Only the first word counts: "NICK connor" is no
/// CONN and "NICK diego" no DIE.
inline bool FirstWordIs(std::string_view line, std::string_view keyword) {
  return line.size() >= keyword.size() && EqualIgnoringCase(line.substr(0, keyword.size()), keyword) &&
         (line.size() == keyword.size() || line[keyword.size()] == ' ');
}

/// The text after a keyword that starts the line and the one character after it
/// (normally the blank that separates them); not trimmed.
inline std::string ArgumentAfter(std::string_view line, std::string_view keyword) {
  const std::size_t start = keyword.size() + 1;
  return start >= line.size() ? std::string() : std::string(line.substr(start));
}

/// Whether the whole line is the keyword, letter case ignored, nothing around it.
inline bool WholeLineIs(std::string_view line, std::string_view keyword) {
  return EqualIgnoringCase(line, keyword);
}

/// The line without any CR, wherever CRs stand in it.
inline std::string WithoutCr(std::string_view line) {
  std::string text;
  text.reserve(line.size());
  for (const char c : line) {
    if (c != '\r') text += c;
  }
  return text;
}

/// Cuts whole lines (LF-ended, CRs removed) off the front of `rest` and hands
/// each to `handle`, in order, in time linear in the bytes. `handle` returns
/// false to stop (the connection has gone): the rest is then dropped. Returns
/// false when the unfinished text left over is longer than kMaxLineLength.
template <typename Handle>
bool TakeLines(std::string& rest, Handle&& handle) {
  std::size_t start = 0;
  std::size_t lf;
  while ((lf = rest.find('\n', start)) != std::string::npos) {
    if (lf - start > kMaxLineLength) return false;
    const std::string line = WithoutCr(std::string_view(rest).substr(start, lf - start));
    start = lf + 1;
    if (!handle(line)) {
      rest.clear();
      return true;
    }
  }
  rest.erase(0, start);
  return rest.size() <= kMaxLineLength;
}

}  // namespace kelvox
