// What a session is on, followed from the IRC server's lines: its own nick, its
// channels, each channel's topic and members. From it, a client that attaches to
// a session already on the network gets each channel as the server itself would
// have shown it at the join. Pure: it reads lines and makes lines; nothing sends.
//
// It follows 001, 005 (PREFIX, CHANMODES), JOIN, PART, KICK, QUIT, NICK, TOPIC,
// 331, 332, 353, 366 and a channel MODE's member prefixes. It does not follow
// other channel modes, ban lists, 333 (who set the topic), CHGHOST, AWAY or
// ACCOUNT; names compare by ASCII case only, not by the server's CASEMAPPING, so
// nicks that differ only in "[]\~" against "{}|^" count as two.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace kelvox {

/// How a client takes a channel's names.
struct TNamesStyle {
  bool MultiPrefix = false;  // multi-prefix: each member with every prefix ("@+al"), else its highest
  bool UserHosts = false;    // userhost-in-names: "al!al@host.example" where the host is known
};

class TChannelState {
 public:
  /// Follows one line from the server, without CR LF, tags and prefix allowed.
  /// Lines it does not follow, and malformed ones, change nothing.
  void Take(std::string_view line);

  /// The session's nick, from the welcome's target and its own NICK changes.
  const std::string& Nick() const { return nick_; }
  /// "nick!user@host" once a line of the user's own has shown it, the nick alone
  /// before.
  std::string Self() const;
  /// The server's name, from the source of its numeric replies.
  const std::string& Server() const { return server_; }

  /// The channels the session is on, as the server spells them, in the order joined.
  std::vector<std::string> Channels() const;
  /// The channel's topic, empty when it has none or the session is not on it.
  std::string Topic(std::string_view channel) const;
  /// The channel's members as its names reply would list them, by nick.
  std::vector<std::string> Names(std::string_view channel, const TNamesStyle& style) const;

  /// What a newly attached client needs for each channel, in the order joined
  /// (lines without CR LF): its own JOIN, the 332 topic when there is one, the 353
  /// names in lines of at most 510 bytes, and the 366 end.
  std::vector<std::string> Burst(const TNamesStyle& style) const;

 private:
  struct TMember {
    std::string Nick;      // as the server spells it
    std::string Prefixes;  // "@+", in the server's order of rank
    std::string UserHost;  // "user@host" when seen, else empty
  };
  struct TChannel {
    std::string Name;
    std::string Topic{};
    char Symbol = '=';                      // from 353: '=' public, '*' private, '@' secret
    bool Listing = false;                   // a names reply is coming in: its 353s replace the members
    std::map<std::string, TMember> Members{};  // by folded nick
  };

  void Welcome(std::string_view source, std::string_view nick);
  void Support(const std::vector<std::string_view>& words);
  void Join(std::string_view source, std::string_view channel);
  void Leave(std::string_view channel, std::string_view nick);
  void Rename(std::string_view source, std::string_view nick);
  void Quit(std::string_view source);
  void NamesReply(const std::vector<std::string_view>& words);
  void Mode(const std::vector<std::string_view>& words);
  void SetPrefix(TMember& member, char mode, bool set) const;
  bool IsSelf(std::string_view nick) const;

  TChannel* Find(std::string_view channel);
  const TChannel* Find(std::string_view channel) const;
  std::string Entry(const TMember& member, const TNamesStyle& style) const;

  std::string nick_;
  std::string user_host_;  // the user's own "user@host", empty until seen
  std::string server_;
  std::vector<TChannel> channels_;  // in the order joined
  // The server's PREFIX (modes and their symbols, by rank) and the channel modes
  // that take a parameter always or only when set: RFC 2812's defaults until 005.
  std::string prefix_modes_ = "ov";
  std::string prefix_symbols_ = "@+";
  std::string modes_with_parameter_ = "beIk";
  std::string modes_with_parameter_when_set_ = "l";
};

}  // namespace kelvox
