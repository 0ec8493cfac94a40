// IRCv3 capability negotiation, as pure pieces: reading a CAP line from either
// side, answering a client before the link, and asking the IRC server for what
// the client took once linked. Nothing here sends; callers send the lines.
#pragma once

#include <chrono>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace kelvox {

/// One capability of a CAP line: "name", "name=value", or "-name" (removal, in
/// REQ and ACK).
struct TCapToken {
  std::string Name;
  std::string Value{};
  bool Remove = false;
};

enum class TCapSubcommand { Ls, List, Req, Ack, Nak, End, New, Del, Unknown };

/// A CAP line read from a client ("CAP LS 302", "CAP REQ :a -b") or from the
/// server (":irc CAP nick LS * :a b=c"), its tags and prefix skipped.
struct TCapLine {
  TCapSubcommand Subcommand = TCapSubcommand::Unknown;
  std::string Word;     // the subcommand as sent, for the 410 answer
  std::string Target;   // the server's lines only: the nick it addresses
  int Version = 0;      // a client's LS: "302", 0 when none
  bool More = false;    // a multi-line LS or LIST reply with more lines to come ("*")
  std::string Text;     // the capability list as sent, trimmed
  std::vector<TCapToken> Caps;
};

/// A line's command and parameters, after its tags and prefix; a ":" parameter
/// takes the rest of the line.
std::vector<std::string_view> MessageWords(std::string_view line);

/// The CAP line, or nothing when the line's command is not CAP. `from_server`
/// says whether a target precedes the subcommand.
std::optional<TCapLine> ParseCapLine(std::string_view line, bool from_server);

/// What the bouncer offers a client before the link: the capabilities it can
/// keep whatever server the user links to.
const std::vector<TCapToken>& BouncerCapabilities();

/// The client's side of the negotiation before the link. The bouncer answers
/// every CAP line itself and holds registration while the client negotiates.
class TClientCaps {
 public:
  /// `prefix` starts every reply (":Kelvox"); `offered` is the list LS shows.
  explicit TClientCaps(std::string prefix, std::vector<TCapToken> offered = BouncerCapabilities());

  /// The reply lines (without CR LF) to the client's CAP line; none for END.
  /// `nick` is the client's nick, or "*" while none is known.
  std::vector<std::string> Answer(const TCapLine& line, std::string_view nick);

  /// The names the client enabled; cap-notify is among them from LS 302 on.
  const std::set<std::string>& Enabled() const { return enabled_; }
  /// The highest version an LS gave, 0 when none did.
  int Version() const { return version_; }
  /// From the first LS or REQ until END, the client waits before registering.
  bool HoldsRegistration() const { return holding_; }
  /// Takes the server's answer to the client's own CAP lines once linked: an
  /// ACK enables (or with "-name" disables), a DEL disables.
  void Adjust(const TCapLine& line);

 private:
  std::vector<std::string> Listing(std::string_view nick, std::string_view word,
                                   const std::vector<std::string>& items) const;
  std::string Request(const TCapLine& line, std::string_view nick);
  bool Offers(std::string_view name) const;

  std::string prefix_;
  std::vector<TCapToken> offered_;
  std::set<std::string> enabled_;
  int version_ = 0;
  bool holding_ = false;
};

/// Which of the server's message tags a client takes: all of them with
/// message-tags, else only those of the capabilities it took; and whether it
/// wants each line's time.
struct TTagPolicy {
  bool All = false;      // message-tags
  bool Time = false;     // server-time: every line carries its time
  bool Account = false;  // account-tag
  bool Batch = false;    // batch
  bool Echo = false;     // echo-message, given by the bouncer: its messages come back

  /// Whether a line passes unchanged: one without tags to a client that wants
  /// no time, or a line whose tags all pass and carry its time when wanted.
  /// The untagged test stays inline: it is every plain user's every line.
  bool AsIs(std::string_view line) const {
    if (line.empty() || line.front() != '@') return !Time;
    return TaggedAsIs(line);
  }

 private:
  bool TaggedAsIs(std::string_view line) const;
};

/// The tags a client takes with these capabilities enabled; `echo`: the bouncer
/// echoes its messages.
TTagPolicy TagPolicyOf(const std::set<std::string>& enabled, bool echo);

/// The server's line as the client takes it: the tags it did not ask for gone,
/// and with Time, `now` ("2026-12-08T11:22:33.456Z") as the time of a line
/// without one.
std::string ShapeTags(std::string_view line, const TTagPolicy& policy, std::string_view now);
/// The same into `shaped`, whose memory serves again line after line; `line`
/// must not view `shaped`.
void ShapeTags(std::string_view line, const TTagPolicy& policy, std::string_view now, std::string& shaped);

/// The time as server-time writes it, in UTC to the millisecond.
std::string ServerTimeOf(std::chrono::system_clock::time_point time);
/// The time of this moment as server-time writes it.
std::string ServerTimeNow();

/// The server's side once linked: its LS, the request and its answers. After a
/// NAK of a request of several, it asks for them one at a time.
class TServerCaps {
 public:
  /// Takes the server's LS lines, "*" continuations included.
  void TakeListing(const TCapLine& line);
  /// Whether the last LS line came.
  bool Listed() const { return listed_; }
  /// Whether the server offers the capability.
  bool Offers(std::string_view name) const;
  /// The value the server gave the capability ("PLAIN,EXTERNAL" for sasl), empty
  /// when none.
  std::string Value(std::string_view name) const;

  /// The request ("CAP REQ :a b") for what the server offers of the wanted
  /// capabilities, empty when it offers none; remembers what it asked.
  std::string Request(const std::set<std::string>& wanted);
  /// Takes the server's ACK or NAK: the next REQ line to send ("CAP REQ :name"),
  /// empty when nothing remains to ask.
  std::string TakeAnswer(const TCapLine& line);

  /// The capabilities the server acknowledged.
  const std::set<std::string>& Granted() const { return granted_; }

 private:
  std::string Next();

  std::vector<TCapToken> offered_;
  bool listed_ = false;
  std::vector<std::string> pending_;  // the request awaiting its answer
  std::vector<std::string> queue_;    // the names still to ask one by one
  std::set<std::string> granted_;
};

}  // namespace kelvox
