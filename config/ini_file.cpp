#include "config/ini_file.h"

#include "base/text_case.h"
#include "config/list_file.h"

namespace kelvox {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

// The name of a "[Section]" line; nullopt for any other line. A missing ']' lets
// the name run to the end of the line.
std::optional<std::string_view> SectionName(std::string_view line) {
  line = TrimBlanks(line);
  if (line.empty() || line.front() != '[') return std::nullopt;
  line.remove_prefix(1);
  const std::size_t close = line.find(']');
  return TrimBlanks(close == std::string_view::npos ? line : line.substr(0, close));
}

// The key of a "Key=Value" line; nullopt for a line without '='.
std::optional<std::string_view> KeyName(std::string_view line) {
  const std::size_t eq = line.find('=');
  if (eq == std::string_view::npos) return std::nullopt;
  return TrimBlanks(line.substr(0, eq));
}

}  // namespace

TIniFile::TIniFile(std::string_view bytes) : lines_(SplitLines(bytes)) {}

std::optional<TIniFile::TSectionRange> TIniFile::FindSection(std::string_view section) const {
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    const auto name = SectionName(lines_[i]);
    if (!name || !EqualIgnoringCase(*name, section)) continue;
    std::size_t end = i + 1;
    while (end < lines_.size() && !SectionName(lines_[end])) ++end;
    return TSectionRange{i, end};
  }
  return std::nullopt;
}

std::optional<std::size_t> TIniFile::FindKey(const TSectionRange& range, std::string_view key) const {
  for (std::size_t i = range.header + 1; i < range.end; ++i) {
    const auto name = KeyName(lines_[i]);
    if (name && EqualIgnoringCase(*name, key)) return i;
  }
  return std::nullopt;
}

std::optional<std::string> TIniFile::ReadString(std::string_view section, std::string_view key) const {
  const auto range = FindSection(section);
  if (!range) return std::nullopt;
  const auto line = FindKey(*range, key);
  if (!line) return std::nullopt;
  const std::string_view text = lines_[*line];
  return std::string(TrimBlanks(text.substr(text.find('=') + 1)));
}

void TIniFile::WriteString(std::string_view section, std::string_view key, std::string_view raw_value) {
  std::string value;
  for (char c : raw_value) {
    if (c != '\r' && c != '\n') value.push_back(c);
  }
  const auto range = FindSection(section);
  if (!range) {
    lines_.push_back("[" + std::string(section) + "]");
    lines_.push_back(std::string(key) + "=" + value);
    return;
  }
  if (const auto line = FindKey(*range, key)) {
    // The key keeps its line and the spelling it has there.
    std::string& text = lines_[*line];
    text = text.substr(0, text.find('=') + 1) + value;
    return;
  }
  // After the section's last non-empty line, so that a blank line that separates
  // it from the next section stays where it is.
  std::size_t at = range->end;
  while (at > range->header + 1 && TrimBlanks(lines_[at - 1]).empty()) --at;
  lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(at), std::string(key) + "=" + value);
}

std::string TIniFile::Bytes() const { return JoinLines(lines_); }

}  // namespace kelvox
