// IRCv3 capability negotiation, as pure pieces: reading a CAP line from either
// side, answering a client before the link, and asking the IRC server for what
// the client took once linked. Nothing here sends; callers send the lines.
#pragma once

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

/// What to do on the link for the capabilities the client took.
struct TCapPlan {
  std::string Request;                  // "CAP REQ :a b", empty when nothing to ask
  std::vector<std::string> Provided;    // the bouncer gives these itself
  std::vector<std::string> Withdrawn;   // the client loses these: CAP DEL
};

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

  /// The plan for the client's enabled set; remembers what it requested.
  TCapPlan Plan(const std::set<std::string>& client_enabled);
  /// Takes the server's ACK or NAK: the next REQ line to send ("CAP REQ :name"),
  /// empty when nothing remains to ask.
  std::string TakeAnswer(const TCapLine& line);

  /// The capabilities the server acknowledged.
  const std::set<std::string>& Granted() const { return granted_; }
  /// The ones it refused on their own, after the fallback.
  const std::vector<std::string>& Refused() const { return refused_; }

 private:
  std::string Next();

  std::vector<TCapToken> offered_;
  bool listed_ = false;
  std::vector<std::string> pending_;  // the request awaiting its answer
  std::vector<std::string> queue_;    // the names still to ask one by one
  std::set<std::string> granted_;
  std::vector<std::string> refused_;
};

}  // namespace kelvox
