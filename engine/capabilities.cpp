// IRCv3 capability negotiation: CAP lines read, answered before the link, and
// planned for the IRC server once linked.
#include "engine/capabilities.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <cstdlib>
#include <iterator>
#include <utility>

#include "base/text_case.h"
#include "engine/irc_line.h"

namespace kelvox {

namespace {

// A reply line, CR LF included, stays within this; longer lists go on several.
constexpr std::size_t kMaxReplyLength = 510;
// The first LS version that shows values, splits long lists and implies cap-notify.
constexpr int kValuesVersion = 302;

constexpr std::array<std::pair<std::string_view, TCapSubcommand>, 8> kSubcommands{{
    {"LS", TCapSubcommand::Ls},
    {"LIST", TCapSubcommand::List},
    {"REQ", TCapSubcommand::Req},
    {"ACK", TCapSubcommand::Ack},
    {"NAK", TCapSubcommand::Nak},
    {"END", TCapSubcommand::End},
    {"NEW", TCapSubcommand::New},
    {"DEL", TCapSubcommand::Del},
}};

}  // namespace

std::vector<std::string_view> MessageWords(std::string_view line) {
  line = WithoutTags(line);
  if (!line.empty() && line.front() == ':') {
    const std::size_t blank = line.find(' ');
    line = blank == std::string_view::npos ? std::string_view() : line.substr(blank);
  }
  std::vector<std::string_view> words;
  while (!line.empty()) {
    if (line.front() == ' ') {
      line.remove_prefix(1);
    } else if (line.front() == ':') {
      words.push_back(line.substr(1));
      break;
    } else {
      const std::size_t blank = std::min(line.find(' '), line.size());
      words.push_back(line.substr(0, blank));
      line.remove_prefix(blank);
    }
  }
  return words;
}

namespace {

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return text;
}

TCapToken Token(std::string_view word) {
  TCapToken token;
  if (word.front() == '-') {
    token.Remove = true;
    word.remove_prefix(1);
  }
  const std::size_t equals = word.find('=');
  token.Name = word.substr(0, equals);
  if (equals != std::string_view::npos) token.Value = word.substr(equals + 1);
  return token;
}

// The capabilities of a list: words between blanks.
std::vector<TCapToken> Tokens(std::string_view text) {
  std::vector<TCapToken> tokens;
  while (!(text = Trimmed(text)).empty()) {
    const std::size_t blank = std::min(text.find(' '), text.size());
    tokens.push_back(Token(text.substr(0, blank)));
    text.remove_prefix(blank);
  }
  return tokens;
}

bool HasName(const std::vector<TCapToken>& caps, std::string_view name) {
  return std::any_of(caps.begin(), caps.end(), [&](const TCapToken& cap) { return cap.Name == name; });
}

// An acknowledged request: names added, "-name" taken away.
void Apply(std::set<std::string>& enabled, const std::vector<TCapToken>& caps) {
  for (const TCapToken& cap : caps) {
    if (cap.Remove) {
      enabled.erase(cap.Name);
    } else {
      enabled.insert(cap.Name);
    }
  }
}

std::string Joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : " ") + name;
  return text;
}

}  // namespace

std::optional<TCapLine> ParseCapLine(std::string_view line, bool from_server) {
  const std::vector<std::string_view> words = MessageWords(line);
  if (words.empty() || !EqualIgnoringCase(words[0], "CAP")) return std::nullopt;
  TCapLine cap;
  std::size_t next = 1;
  if (from_server && next < words.size()) cap.Target = words[next++];
  if (next < words.size()) cap.Word = words[next++];
  for (const auto& [word, subcommand] : kSubcommands) {
    if (EqualIgnoringCase(cap.Word, word)) cap.Subcommand = subcommand;
  }
  if (!from_server && cap.Subcommand == TCapSubcommand::Ls) {
    if (next < words.size()) cap.Version = std::atoi(std::string(words[next]).c_str());
    return cap;
  }
  if (from_server && words.size() - next >= 2 && words[next] == "*") {
    cap.More = true;
    ++next;
  }
  for (; next < words.size(); ++next) cap.Text += (cap.Text.empty() ? "" : " ") + std::string(Trimmed(words[next]));
  cap.Caps = Tokens(cap.Text);
  return cap;
}

const std::vector<TCapToken>& BouncerCapabilities() {
  static const std::vector<TCapToken> caps = [] {
    std::vector<TCapToken> list{{"sasl", "PLAIN"}};
    for (const char* name : {"server-time", "message-tags", "batch", "cap-notify", "multi-prefix", "away-notify",
                             "account-notify", "extended-join", "chghost", "userhost-in-names", "invite-notify",
                             "account-tag", "setname", "echo-message"}) {
      list.push_back({name});
    }
    return list;
  }();
  return caps;
}

TClientCaps::TClientCaps(std::string prefix, std::vector<TCapToken> offered)
    : prefix_(std::move(prefix)), offered_(std::move(offered)) {}

std::vector<std::string> TClientCaps::Answer(const TCapLine& line, std::string_view nick) {
  switch (line.Subcommand) {
    case TCapSubcommand::Ls: {
      holding_ = true;
      version_ = std::max(version_, line.Version);
      if (version_ >= kValuesVersion) enabled_.insert("cap-notify");
      std::vector<std::string> items;
      for (const TCapToken& cap : offered_) {
        items.push_back(cap.Value.empty() || version_ < kValuesVersion ? cap.Name : cap.Name + "=" + cap.Value);
      }
      return Listing(nick, "LS", items);
    }
    case TCapSubcommand::List:
      return Listing(nick, "LIST", std::vector<std::string>(enabled_.begin(), enabled_.end()));
    case TCapSubcommand::Req:
      holding_ = true;
      return {Request(line, nick)};
    case TCapSubcommand::End:
      holding_ = false;
      return {};
    default:
      return {prefix_ + " 410 " + std::string(nick) + " " + line.Word + " :Invalid CAP command"};
  }
}

// Greedy filling: each line takes what fits, the ones before the last marked "*".
// A client below 302 gets its list on one line, as it cannot join several.
std::vector<std::string> TClientCaps::Listing(std::string_view nick, std::string_view word,
                                              const std::vector<std::string>& items) const {
  const std::string head = prefix_ + " CAP " + std::string(nick) + " " + std::string(word);
  const std::size_t room = kMaxReplyLength - 2 - (head.size() + 4);  // " * :" and CR LF
  std::vector<std::string> bodies{""};
  for (const std::string& item : items) {
    std::string& body = bodies.back();
    if (version_ >= kValuesVersion && !body.empty() && body.size() + 1 + item.size() > room) {
      bodies.push_back(item);
    } else {
      body += (body.empty() ? "" : " ") + item;
    }
  }
  std::vector<std::string> lines;
  for (std::size_t i = 0; i < bodies.size(); ++i) {
    lines.push_back(head + (i + 1 < bodies.size() ? " * :" : " :") + bodies[i]);
  }
  return lines;
}

// All or nothing: one name the bouncer does not offer refuses the whole request.
std::string TClientCaps::Request(const TCapLine& line, std::string_view nick) {
  const auto offered = [&](const TCapToken& cap) { return cap.Value.empty() && Offers(cap.Name); };
  const bool all_offered = !line.Caps.empty() && std::all_of(line.Caps.begin(), line.Caps.end(), offered);
  const std::string head = prefix_ + " CAP " + std::string(nick);
  if (!all_offered) return head + " NAK :" + line.Text;
  Apply(enabled_, line.Caps);
  return head + " ACK :" + line.Text;
}

bool TClientCaps::Offers(std::string_view name) const { return HasName(offered_, name); }

void TClientCaps::Adjust(const TCapLine& line) {
  if (line.Subcommand == TCapSubcommand::Ack) Apply(enabled_, line.Caps);
  if (line.Subcommand == TCapSubcommand::Del) {
    for (const TCapToken& cap : line.Caps) enabled_.erase(cap.Name);
  }
}

bool TTagPolicy::TaggedAsIs(std::string_view line) const {
  if (!All) return false;
  const std::string_view tags = line.substr(0, line.find(' '));
  return !Time || tags.starts_with("@time=") || tags.find(";time=") != std::string_view::npos;
}

TTagPolicy TagPolicyOf(const std::set<std::string>& enabled, bool echo) {
  return {enabled.contains("message-tags"), enabled.contains("server-time"), enabled.contains("account-tag"),
          enabled.contains("batch"), echo};
}

std::string ShapeTags(std::string_view line, const TTagPolicy& policy, std::string_view now) {
  std::string shaped;
  ShapeTags(line, policy, now, shaped);
  return shaped;
}

namespace {

// The line's tags, without the "@" and the blank after them; none when untagged.
std::string_view TagsOf(std::string_view line) {
  if (line.empty() || line.front() != '@') return {};
  return line.substr(1, std::min(line.find(' '), line.size()) - 1);
}

// Calls `take` with each tag ("key=value") and its key, in order; an empty
// tag at the end is none.
template <typename F>
void EachTag(std::string_view tags, F take) {
  while (!tags.empty()) {
    const std::size_t end = std::min(tags.find(';'), tags.size());
    const std::string_view tag = tags.substr(0, end);
    take(tag, tag.substr(0, tag.find('=')));
    tags.remove_prefix(std::min(end + 1, tags.size()));
  }
}

bool HasTimeTag(std::string_view tags) {
  bool timed = false;
  EachTag(tags, [&](std::string_view, std::string_view key) { timed = timed || key == "time"; });
  return timed;
}

}  // namespace

void ShapeTags(std::string_view line, const TTagPolicy& policy, std::string_view now, std::string& shaped) {
  const std::string_view tags = TagsOf(line);
  shaped.assign(1, '@');
  const bool stamped = policy.Time && !HasTimeTag(tags);
  if (stamped) shaped.append("time=").append(now).append(1, ';');
  // Kept tags are joined by ";" from the first that is not empty on.
  const std::size_t kept_from = shaped.size();
  EachTag(tags, [&](std::string_view tag, std::string_view key) {
    if (policy.All || (key == "time" && policy.Time) || (key == "account" && policy.Account) ||
        (key == "batch" && policy.Batch)) {
      shaped.append(shaped.size() > kept_from ? ";" : "").append(tag);
    }
  });
  if (stamped && shaped.size() == kept_from) shaped.pop_back();  // the time alone
  if (shaped.size() == 1) {
    shaped.assign(WithoutTags(line));
  } else {
    shaped.append(1, ' ').append(WithoutTags(line));
  }
}

std::string ServerTimeOf(std::chrono::system_clock::time_point time) {
  // Whole seconds and the milliseconds past them, from one floored time.
  const auto whole = std::chrono::floor<std::chrono::seconds>(time);
  const std::time_t seconds = std::chrono::system_clock::to_time_t(whole);
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(time - whole).count();
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[40];
  const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(text + length, sizeof text - length, ".%03dZ", static_cast<int>(millis));
  return text;
}

std::string ServerTimeNow() { return ServerTimeOf(std::chrono::system_clock::now()); }

void TServerCaps::TakeListing(const TCapLine& line) {
  if (listed_) {  // a new LS starts over
    offered_.clear();
    listed_ = false;
  }
  offered_.insert(offered_.end(), line.Caps.begin(), line.Caps.end());
  listed_ = !line.More;
}

bool TServerCaps::Offers(std::string_view name) const { return HasName(offered_, name); }

std::string TServerCaps::Value(std::string_view name) const {
  const auto cap = std::find_if(offered_.begin(), offered_.end(), [&](const TCapToken& c) { return c.Name == name; });
  return cap == offered_.end() ? std::string() : cap->Value;
}

std::string TServerCaps::Request(const std::set<std::string>& wanted) {
  pending_.clear();
  std::copy_if(wanted.begin(), wanted.end(), std::back_inserter(pending_),
               [this](const std::string& name) { return Offers(name); });
  return pending_.empty() ? std::string() : "CAP REQ :" + Joined(pending_);
}

std::string TServerCaps::TakeAnswer(const TCapLine& line) {
  if (line.Subcommand == TCapSubcommand::Ack) {
    Apply(granted_, line.Caps);
  } else if (line.Subcommand == TCapSubcommand::Nak) {
    // A refusal of several is asked again one by one; one refused alone is not given.
    if (pending_.size() > 1) queue_.insert(queue_.end(), pending_.begin(), pending_.end());
  } else {
    return {};
  }
  pending_.clear();
  return Next();
}

std::string TServerCaps::Next() {
  if (queue_.empty()) return {};
  pending_ = {queue_.front()};
  queue_.erase(queue_.begin());
  return "CAP REQ :" + pending_.front();
}

}  // namespace kelvox
