// MatchMask against a plain matcher written the slow, obvious way. The input is
// "mask NUL text".
#include <string>
#include <string_view>
#include <vector>

#include "access/mask.h"
#include "base/text_case.h"

namespace {

// Whether text matches mask, '*' standing for any run: every prefix pair in turn.
bool Reference(std::string_view mask_in, std::string_view text_in) {
  const std::string mask = kelvox::LowerAscii(mask_in);
  const std::string text = kelvox::LowerAscii(text_in);
  if (mask.empty() || text.empty()) return false;
  // matches[j]: the mask's first i characters match the text's first j.
  std::vector<bool> matches(text.size() + 1, false);
  matches[0] = true;
  for (const char m : mask) {
    std::vector<bool> next(text.size() + 1, false);
    for (std::size_t j = 0; j <= text.size(); ++j) {
      if (m == '*') {
        next[j] = matches[j] || (j > 0 && next[j - 1]);
      } else {
        next[j] = j > 0 && matches[j - 1] && text[j - 1] == m;
      }
    }
    matches = std::move(next);
  }
  return matches[text.size()];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t cut = input.find('\0');
  if (cut == std::string_view::npos || size > 1024) return 0;
  const std::string_view mask = input.substr(0, cut);
  const std::string_view text = input.substr(cut + 1);
  if (kelvox::MatchMask(mask, text) != Reference(mask, text)) __builtin_trap();
  return 0;
}
