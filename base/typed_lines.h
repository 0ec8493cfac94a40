// Typed input cut into lines, as it comes in pieces: a line ends at LF, and a
// CR before the LF is no part of it.
#pragma once

#include <optional>
#include <string>

namespace kelvox {

/// The first whole line of `buffer`, taken out of it with its end; none while
/// no line has ended there.
inline std::optional<std::string> TakeLine(std::string& buffer) {
  const std::size_t end = buffer.find('\n');
  if (end == std::string::npos) return std::nullopt;
  std::string line = buffer.substr(0, end);
  buffer.erase(0, end + 1);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace kelvox
