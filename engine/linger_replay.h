// A held line as an attaching client gets it: with the time it arrived, in the
// form the client understands. Pure: the caller sends the line.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "engine/capabilities.h"

namespace kelvox {

/// The held line (without CR LF) as the client with `policy` gets it, its tags
/// shaped as for any relayed line. With server-time, it carries "@time=" of
/// `arrived` unless the server gave it a time of its own. Without, the text of a
/// PRIVMSG or NOTICE starts with "[HH:MM] " of `arrived` in the bouncer's local
/// time; a CTCP message (its text starts with \x01) and every other line keep
/// their text, since a prefix would break what the client reads in them.
std::string ReplayLine(std::string_view line, std::chrono::system_clock::time_point arrived, const TTagPolicy& policy);

/// "[HH:MM] ": the short time of ours before a replayed message without server-time.
std::string ShortTimePrefix(std::chrono::system_clock::time_point time);

}  // namespace kelvox
