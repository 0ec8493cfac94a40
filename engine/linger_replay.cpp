// Held lines replayed with the time they arrived.
#include "engine/linger_replay.h"

#include <algorithm>
#include <cstddef>
#include <ctime>

#include "base/text_case.h"
#include "engine/irc_line.h"

namespace kelvox {

namespace {

// Where the word at `at` ends and the next one starts, blanks skipped.
std::size_t NextWord(std::string_view line, std::size_t at) {
  at = line.find(' ', at);
  if (at == std::string_view::npos) return line.size();
  return std::min(line.find_first_not_of(' ', at), line.size());
}

}  // namespace

std::string ShortTimePrefix(std::chrono::system_clock::time_point time) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(std::chrono::floor<std::chrono::seconds>(time));
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[16];
  std::strftime(text, sizeof text, "[%H:%M] ", &local);
  return text;
}

std::string ReplayLine(std::string_view line, std::chrono::system_clock::time_point arrived, const TTagPolicy& policy) {
  if (policy.Time) return ShapeTags(line, policy, ServerTimeOf(arrived));
  std::string shaped = ShapeTags(line, policy, {});
  const std::string_view message = CommandOf(WithoutTags(shaped));
  const std::string_view command = message.substr(0, message.find(' '));
  if (!EqualIgnoringCase(command, "PRIVMSG") && !EqualIgnoringCase(command, "NOTICE")) return shaped;
  const std::size_t target = NextWord(message, 0);
  const std::size_t text = NextWord(message, target);
  if (target == message.size() || text == message.size()) return shaped;  // no text to stamp
  const bool trailing = message[text] == ':';
  const std::size_t body = text + (trailing ? 1 : 0);
  if (body < message.size() && message[body] == '\x01') return shaped;
  // A one-word text without its ':' takes one, as the stamp brings a blank.
  const std::string stamp = (trailing ? "" : ":") + ShortTimePrefix(arrived);
  shaped.insert(static_cast<std::size_t>(message.data() - shaped.data()) + body, stamp);
  return shaped;
}

}  // namespace kelvox
