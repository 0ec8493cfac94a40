// Text that a user sent, made safe to show to the operator: a nick must not be
// able to drive a terminal that displays the console or the event log.
#pragma once

#include <string>
#include <string_view>

namespace kelvox {

/// The text with every byte below 0x20, DEL and the backslash written as \xNN
/// (the backslash as \\); every other byte as it is.
std::string EscapeControls(std::string_view text);

}  // namespace kelvox
