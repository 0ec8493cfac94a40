#include "access/mask.h"

#include <string>
#include <vector>

#include "base/text_case.h"

namespace kelvox {

namespace {

std::vector<std::string_view> Segments(std::string_view mask) {
  std::vector<std::string_view> segments;
  std::size_t start = 0;
  for (;;) {
    const std::size_t star = mask.find('*', start);
    const std::string_view segment = mask.substr(start, star == std::string_view::npos ? mask.npos : star - start);
    if (!segment.empty()) segments.push_back(segment);
    if (star == std::string_view::npos) return segments;
    start = star + 1;
  }
}

}  // namespace

bool MatchMask(std::string_view mask_text, std::string_view text_in) {
  const std::string mask = LowerAscii(mask_text);
  const std::string text = LowerAscii(text_in);
  if (mask.empty() || text.empty()) return false;
  if (mask.find('*') == std::string::npos) return text == mask;

  const std::vector<std::string_view> segments = Segments(mask);
  std::string_view rest = text;
  std::size_t first = 0;
  std::size_t last = segments.size();
  // A mask that neither begins nor ends with '*' has a segment for each end, so
  // the two ends never claim the same segment.
  if (mask.front() != '*') {
    if (!rest.starts_with(segments[first])) return false;
    rest.remove_prefix(segments[first++].size());
  }
  if (mask.back() != '*') {
    // Only what the front left over: the two ends never share characters.
    if (!rest.ends_with(segments[last - 1])) return false;
    rest.remove_suffix(segments[--last].size());
  }
  for (std::size_t i = first; i < last; ++i) {
    const std::size_t at = rest.find(segments[i]);
    if (at == std::string_view::npos) return false;
    rest.remove_prefix(at + segments[i].size());
  }
  return true;
}

}  // namespace kelvox
