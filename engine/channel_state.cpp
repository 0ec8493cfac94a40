// A session's channels followed from the server's lines, and the burst that
// shows them to a client that attaches.
#include "engine/channel_state.h"

#include <algorithm>
#include <cstddef>
#include <utility>

#include "base/text_case.h"
#include "engine/capabilities.h"
#include "engine/irc_line.h"

namespace kelvox {

namespace {

// A line sent to a client, CR LF aside, stays within this.
constexpr std::size_t kMaxBurstLine = 510;

// The source of a line ("nick!user@host" or "irc.example.net"), empty when none.
std::string_view SourceOf(std::string_view line) {
  line = WithoutTags(line);
  if (line.empty() || line.front() != ':') return {};
  return line.substr(1, std::min(line.find(' '), line.size()) - 1);
}

std::string_view NickOf(std::string_view source) { return source.substr(0, source.find('!')); }

// "user@host" of a "nick!user@host" source, empty when it has none.
std::string_view UserHostOf(std::string_view source) {
  const std::size_t bang = source.find('!');
  return bang == std::string_view::npos ? std::string_view() : source.substr(bang + 1);
}

bool IsNumeric(std::string_view command) {
  return command.size() == 3 && std::all_of(command.begin(), command.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

void TChannelState::Take(std::string_view line) {
  const std::vector<std::string_view> words = MessageWords(line);
  if (words.empty()) return;
  const std::string_view source = SourceOf(line);
  const std::string command = LowerAscii(words[0]);
  const auto word = [&](std::size_t i) { return i < words.size() ? words[i] : std::string_view(); };
  if (IsNumeric(command) && !source.empty()) server_ = source;
  if (!source.empty() && IsSelf(NickOf(source)) && !UserHostOf(source).empty()) user_host_ = UserHostOf(source);

  if (command == "001") {
    Welcome(source, word(1));
  } else if (command == "005") {
    Support(words);
  } else if (command == "join") {
    Join(source, word(1));
  } else if (command == "part") {
    Leave(word(1), NickOf(source));
  } else if (command == "kick") {
    Leave(word(1), word(2));
  } else if (command == "quit") {
    Quit(source);
  } else if (command == "nick") {
    Rename(source, word(1));
  } else if (command == "topic" || command == "332" || command == "331") {
    const bool numeric = command != "topic";
    if (TChannel* channel = Find(word(numeric ? 2 : 1))) channel->Topic = command == "331" ? "" : word(numeric ? 3 : 2);
  } else if (command == "353") {
    NamesReply(words);
  } else if (command == "366") {
    if (TChannel* channel = Find(word(2))) channel->Listing = false;
  } else if (command == "mode") {
    Mode(words);
  }
}

std::string TChannelState::Self() const { return user_host_.empty() ? nick_ : nick_ + "!" + user_host_; }

std::vector<std::string> TChannelState::Channels() const {
  std::vector<std::string> names;
  for (const TChannel& channel : channels_) names.push_back(channel.Name);
  return names;
}

std::string TChannelState::Topic(std::string_view channel) const {
  const TChannel* found = Find(channel);
  return found == nullptr ? std::string() : found->Topic;
}

std::vector<std::string> TChannelState::Names(std::string_view channel, const TNamesStyle& style) const {
  std::vector<std::string> names;
  if (const TChannel* found = Find(channel)) {
    for (const auto& [folded, member] : found->Members) names.push_back(Entry(member, style));
  }
  return names;
}

std::vector<std::string> TChannelState::Burst(const TNamesStyle& style) const {
  std::vector<std::string> lines;
  const std::string from = ":" + server_ + " ";
  for (const TChannel& channel : channels_) {
    lines.push_back(":" + Self() + " JOIN " + channel.Name);
    if (!channel.Topic.empty()) lines.push_back(from + "332 " + nick_ + " " + channel.Name + " :" + channel.Topic);
    const std::string head = from + "353 " + nick_ + " " + channel.Symbol + " " + channel.Name + " :";
    std::string names;
    for (const auto& [folded, member] : channel.Members) {
      const std::string entry = Entry(member, style);
      if (!names.empty() && head.size() + names.size() + 1 + entry.size() > kMaxBurstLine) {
        lines.push_back(head + names);
        names.clear();
      }
      names += (names.empty() ? "" : " ") + entry;
    }
    if (!names.empty()) lines.push_back(head + names);
    lines.push_back(from + "366 " + nick_ + " " + channel.Name + " :End of /NAMES list.");
  }
  return lines;
}

// A new registration starts from nothing: the server has forgotten the old one.
void TChannelState::Welcome(std::string_view source, std::string_view nick) {
  channels_.clear();
  user_host_.clear();
  nick_ = nick;
  if (!source.empty()) server_ = source;
}

// "PREFIX=(qaohv)~&@%+" and "CHANMODES=A,B,C,D" among the tokens between the
// target and the closing text.
void TChannelState::Support(const std::vector<std::string_view>& words) {
  for (std::size_t i = 2; i + 1 < words.size(); ++i) {
    const std::string_view token = words[i];
    if (token.starts_with("PREFIX=")) {
      const std::string_view value = token.substr(7);
      const std::size_t close = value.find(')');
      if (value.empty()) {
        prefix_modes_.clear();
        prefix_symbols_.clear();
      } else if (value.front() == '(' && close != std::string_view::npos && close - 1 == value.size() - close - 1) {
        prefix_modes_ = value.substr(1, close - 1);
        prefix_symbols_ = value.substr(close + 1);
      }
    } else if (token.starts_with("CHANMODES=")) {
      // Types A (lists) and B take a parameter always, C only when set, D never.
      std::vector<std::string> types{""};
      for (const char c : token.substr(10)) {
        if (c == ',') {
          types.emplace_back();
        } else {
          types.back() += c;
        }
      }
      types.resize(std::max<std::size_t>(types.size(), 3));
      modes_with_parameter_ = types[0] + types[1];
      modes_with_parameter_when_set_ = types[2];
    }
  }
}

void TChannelState::Join(std::string_view source, std::string_view channel) {
  if (channel.empty() || source.empty()) return;
  const std::string_view nick = NickOf(source);
  if (IsSelf(nick)) {
    if (TChannel* old = Find(channel)) {
      *old = TChannel{std::string(channel)};
    } else {
      channels_.push_back(TChannel{std::string(channel)});
    }
  }
  if (TChannel* found = Find(channel)) {
    found->Members[LowerAscii(nick)] = TMember{std::string(nick), "", std::string(UserHostOf(source))};
  }
}

void TChannelState::Leave(std::string_view channel, std::string_view nick) {
  TChannel* found = Find(channel);
  if (found == nullptr) return;
  if (IsSelf(nick)) {
    channels_.erase(channels_.begin() + (found - channels_.data()));
  } else {
    found->Members.erase(LowerAscii(nick));
  }
}

void TChannelState::Rename(std::string_view source, std::string_view nick) {
  const std::string_view old_nick = NickOf(source);
  if (old_nick.empty() || nick.empty()) return;
  if (IsSelf(old_nick)) nick_ = nick;
  for (TChannel& channel : channels_) {
    const auto member = channel.Members.find(LowerAscii(old_nick));
    if (member == channel.Members.end()) continue;
    TMember renamed = std::move(member->second);
    renamed.Nick = nick;
    if (!UserHostOf(source).empty()) renamed.UserHost = UserHostOf(source);
    channel.Members.erase(member);
    channel.Members[LowerAscii(nick)] = std::move(renamed);
  }
}

void TChannelState::Quit(std::string_view source) {
  const std::string folded = LowerAscii(NickOf(source));
  for (TChannel& channel : channels_) channel.Members.erase(folded);
}

// "353 nick = #chan :@al +bo cy"; the symbol may be missing on old servers. The
// first 353 of a reply replaces what was known, so a later NAMES corrects it.
void TChannelState::NamesReply(const std::vector<std::string_view>& words) {
  const bool symbol = words.size() >= 5;
  TChannel* channel = Find(words.size() >= 4 ? words[symbol ? 3 : 2] : std::string_view());
  if (channel == nullptr) return;
  if (symbol && words[2].size() == 1) channel->Symbol = words[2].front();
  if (!channel->Listing) channel->Members.clear();
  channel->Listing = true;
  std::string_view names = words.back();
  while (!names.empty()) {
    const std::size_t blank = std::min(names.find(' '), names.size());
    std::string_view entry = names.substr(0, blank);
    names.remove_prefix(std::min(blank + 1, names.size()));
    const std::size_t nick_at = std::min(entry.find_first_not_of(prefix_symbols_), entry.size());
    const std::string_view prefixes = entry.substr(0, nick_at);
    entry.remove_prefix(nick_at);
    if (entry.empty()) continue;
    TMember member{std::string(NickOf(entry)), "", std::string(UserHostOf(entry))};
    for (const char c : prefixes) SetPrefix(member, prefix_modes_[prefix_symbols_.find(c)], true);
    channel->Members[LowerAscii(member.Nick)] = std::move(member);
  }
}

// "MODE #chan +o-v+l al bo 20": the prefix modes change members; the other
// modes only take their parameters off the list.
void TChannelState::Mode(const std::vector<std::string_view>& words) {
  if (words.size() < 3) return;
  TChannel* channel = Find(words[1]);
  if (channel == nullptr) return;
  std::size_t next = 3;
  bool set = true;
  for (const char c : words[2]) {
    if (c == '+' || c == '-') {
      set = c == '+';
      continue;
    }
    const bool prefix = prefix_modes_.find(c) != std::string::npos;
    const bool takes = prefix || modes_with_parameter_.find(c) != std::string::npos ||
                       (set && modes_with_parameter_when_set_.find(c) != std::string::npos);
    if (!takes) continue;
    if (next >= words.size()) return;
    const std::string_view parameter = words[next++];
    if (!prefix) continue;
    const auto member = channel->Members.find(LowerAscii(parameter));
    if (member != channel->Members.end()) SetPrefix(member->second, c, set);
  }
}

// The member's symbols stay in the server's order of rank, each at most once.
void TChannelState::SetPrefix(TMember& member, char mode, bool set) const {
  const std::size_t rank = prefix_modes_.find(mode);
  if (rank == std::string::npos || rank >= prefix_symbols_.size()) return;
  const char symbol = prefix_symbols_[rank];
  std::string& prefixes = member.Prefixes;
  std::erase(prefixes, symbol);
  if (!set) return;
  const auto after = std::find_if(prefixes.begin(), prefixes.end(),
                                  [&](char c) { return prefix_symbols_.find(c) > rank; });
  prefixes.insert(after, symbol);
}

bool TChannelState::IsSelf(std::string_view nick) const { return !nick_.empty() && EqualIgnoringCase(nick, nick_); }

TChannelState::TChannel* TChannelState::Find(std::string_view channel) {
  return const_cast<TChannel*>(std::as_const(*this).Find(channel));
}

const TChannelState::TChannel* TChannelState::Find(std::string_view channel) const {
  if (channel.empty()) return nullptr;
  const auto found = std::find_if(channels_.begin(), channels_.end(),
                                  [&](const TChannel& c) { return EqualIgnoringCase(c.Name, channel); });
  return found == channels_.end() ? nullptr : &*found;
}

std::string TChannelState::Entry(const TMember& member, const TNamesStyle& style) const {
  std::string entry = style.MultiPrefix ? member.Prefixes : member.Prefixes.substr(0, 1);
  entry += member.Nick;
  if (style.UserHosts && !member.UserHost.empty()) entry += "!" + member.UserHost;
  return entry;
}

}  // namespace kelvox
