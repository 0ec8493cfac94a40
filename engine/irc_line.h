// Reading the lines users and servers send: keywords and arguments.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "base/text_case.h"

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

/// Whether the line is one of a client's registration (PASS, NICK, USER): the
/// lines an IRC server takes before its welcome.
inline bool IsRegistrationLine(std::string_view line) {
  return FirstWordIs(line, "pass") || FirstWordIs(line, "nick") || FirstWordIs(line, "user");
}

/// The text after a keyword that starts the line and the one character after it
/// (normally the blank that separates them); not trimmed.
inline std::string ArgumentAfter(std::string_view line, std::string_view keyword) {
  const std::size_t start = keyword.size() + 1;
  return start >= line.size() ? std::string() : std::string(line.substr(start));
}

/// The line after its message tags ("@time=...;x=y " before the prefix or the
/// command), when it carries any.
inline std::string_view WithoutTags(std::string_view line) {
  if (line.empty() || line.front() != '@') return line;
  const std::size_t blank = line.find(' ');
  return blank == std::string_view::npos ? std::string_view() : line.substr(blank + 1);
}

/// The line from its command on: after its prefix (":nick!user@host "), when it
/// has one; the tags must be off already.
inline std::string_view CommandOf(std::string_view line) {
  if (line.empty() || line.front() != ':') return line;
  const std::size_t blank = line.find(' ');
  return blank == std::string_view::npos ? std::string_view() : line.substr(blank + 1);
}

/// Calls `take` with each line of the lines held for a link (each ended by CR
/// LF), as a view that keeps its CR LF; a last line without one comes whole.
template <typename Take>
void ForEachHeldLine(std::string_view held, Take&& take) {
  while (!held.empty()) {
    const std::size_t cr_lf = held.find("\r\n");
    const std::size_t end = cr_lf == std::string_view::npos ? held.size() : cr_lf + 2;
    take(held.substr(0, end));
    held.remove_prefix(end);
  }
}

/// Whether the whole line is the keyword, letter case ignored, nothing around it.
inline bool WholeLineIs(std::string_view line, std::string_view keyword) {
  return EqualIgnoringCase(line, keyword);
}

}  // namespace kelvox
