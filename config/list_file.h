// The text form of the list files and of Config.ini: one entry per line, written
// with CR LF, read with CR LF, a lone CR or a lone LF as the line end.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kelvox {

/// The lines of a text. A last line without a line end counts as a line; an
/// empty line gives an empty entry; an empty text gives no line.
std::vector<std::string> SplitLines(std::string_view text);

/// Every line followed by CR LF; no line gives an empty text.
std::string JoinLines(const std::vector<std::string>& lines);

}  // namespace kelvox
