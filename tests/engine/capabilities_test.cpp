// Capability negotiation: CAP lines read from both sides, the bouncer's answers
// to a client before the link, and the request planned for the IRC server.
#include "engine/capabilities.h"

#include <gtest/gtest.h>

namespace kelvox {
namespace {

TCapLine Client(std::string_view line) { return ParseCapLine(line, false).value(); }
TCapLine Server(std::string_view line) { return ParseCapLine(line, true).value(); }

using Lines = std::vector<std::string>;

TEST(CapLineTest, ReadsBothSides) {
  EXPECT_EQ(Client("cap ls 302").Subcommand, TCapSubcommand::Ls);
  EXPECT_EQ(Client("CAP LS 302").Version, 302);
  const TCapLine req = Client("CAP REQ :server-time  -batch ");
  EXPECT_EQ(req.Text, "server-time  -batch");
  ASSERT_EQ(req.Caps.size(), 2u);
  EXPECT_TRUE(req.Caps[1].Remove);
  EXPECT_EQ(req.Caps[1].Name, "batch");
  const TCapLine ls = Server("@time=x :irc.test CAP al LS * :sasl=PLAIN,EXTERNAL tls");
  EXPECT_EQ(ls.Target, "al");
  EXPECT_TRUE(ls.More);
  EXPECT_EQ(ls.Caps[0].Value, "PLAIN,EXTERNAL");
  EXPECT_FALSE(Server(":irc.test CAP al ACK *").More);  // a lone "*" is a capability list
  EXPECT_EQ(Client("CAP FOO x").Word, "FOO");
  EXPECT_EQ(Client("CAP FOO x").Subcommand, TCapSubcommand::Unknown);
  EXPECT_FALSE(ParseCapLine(":irc.test PRIVMSG al :CAP LS", true).has_value());
}

TEST(ClientCapsTest, ListsWithValuesFrom302AndNamesBefore) {
  TClientCaps old(":Kelvox", {{"sasl", "PLAIN"}, {"batch"}});
  EXPECT_FALSE(old.HoldsRegistration());
  EXPECT_EQ(old.Answer(Client("CAP LS"), "*"), Lines{":Kelvox CAP * LS :sasl batch"});
  EXPECT_TRUE(old.HoldsRegistration());
  EXPECT_TRUE(old.Enabled().empty());
  TClientCaps caps(":Kelvox");
  const Lines ls = caps.Answer(Client("CAP LS 302"), "al");
  ASSERT_EQ(ls.size(), 1u);
  EXPECT_EQ(ls[0].rfind(":Kelvox CAP al LS :sasl=PLAIN server-time message-tags ", 0), 0u);
  EXPECT_EQ(caps.Version(), 302);
  EXPECT_EQ(caps.Enabled(), std::set<std::string>{"cap-notify"});  // implied by 302
}

TEST(ClientCapsTest, LongListsSplitWithinTheLineLength) {
  std::vector<TCapToken> many;
  std::string all;
  for (int i = 0; i < 60; ++i) {
    many.push_back({"vendor.example/cap-" + std::to_string(i), "v"});
    all += (all.empty() ? "" : " ") + many.back().Name + "=v";
  }
  TClientCaps caps(":Kelvox", many);
  const Lines ls = caps.Answer(Client("CAP LS 303"), "al");
  ASSERT_GT(ls.size(), 1u);
  std::string joined;
  for (std::size_t i = 0; i < ls.size(); ++i) {
    const std::string head = i + 1 < ls.size() ? ":Kelvox CAP al LS * :" : ":Kelvox CAP al LS :";
    EXPECT_LE(ls[i].size() + 2, 510u);
    ASSERT_EQ(ls[i].rfind(head, 0), 0u) << ls[i];
    joined += (joined.empty() ? "" : " ") + ls[i].substr(head.size());
  }
  EXPECT_EQ(joined, all);
}

TEST(ClientCapsTest, RequestsAreAllOrNothingUntilEnd) {
  TClientCaps caps(":Kelvox");
  EXPECT_EQ(caps.Answer(Client("CAP REQ :batch sts"), "*"), Lines{":Kelvox CAP * NAK :batch sts"});
  EXPECT_TRUE(caps.Enabled().empty());
  EXPECT_TRUE(caps.HoldsRegistration());
  EXPECT_EQ(caps.Answer(Client("CAP REQ :batch sasl echo-message"), "al"),
            Lines{":Kelvox CAP al ACK :batch sasl echo-message"});
  EXPECT_EQ(caps.Answer(Client("CAP REQ :-sasl"), "al"), Lines{":Kelvox CAP al ACK :-sasl"});
  EXPECT_EQ(caps.Answer(Client("CAP REQ :sasl=PLAIN"), "al"), Lines{":Kelvox CAP al NAK :sasl=PLAIN"});
  EXPECT_EQ(caps.Answer(Client("CAP LIST"), "al"), Lines{":Kelvox CAP al LIST :batch echo-message"});
  EXPECT_EQ(caps.Answer(Client("CAP ACK :batch"), "al"), Lines{":Kelvox 410 al ACK :Invalid CAP command"});
  EXPECT_TRUE(caps.Answer(Client("CAP END"), "al").empty());
  EXPECT_FALSE(caps.HoldsRegistration());
}

// Shaping into a used buffer gives what a new string does, empty tags at the
// ends dropped, the bouncer's time first where a line has none.
TEST(TagPolicyTest, ShapesIntoAUsedBufferAsIntoANewOne) {
  const TTagPolicy all_timed{.All = true, .Time = true};
  const struct {
    std::string_view line;
    TTagPolicy policy;
    std::string_view shaped;
  } cases[] = {
      {":a PING", all_timed, "@time=NOW :a PING"},
      {"@;msgid=2 :a PING", all_timed, "@time=NOW;msgid=2 :a PING"},
      {"@;time=1 :a PING", all_timed, "@time=1 :a PING"},
      {"@time=1; :a PING", all_timed, "@time=1 :a PING"},
      {"@time=1", all_timed, "@time=1 "},
      {"@time=1;account=x;msgid=2 :a PING", {.Time = true}, "@time=1 :a PING"},
      {"@msgid=2 :a PING", {.Account = true}, ":a PING"},
      {":a PING", {.All = true}, ":a PING"},
  };
  std::string shaped = "@left=over :x";
  for (const auto& c : cases) {
    ShapeTags(c.line, c.policy, "NOW", shaped);
    EXPECT_EQ(shaped, c.shaped) << c.line;
    EXPECT_EQ(ShapeTags(c.line, c.policy, "NOW"), shaped);
  }
}

TEST(ServerCapsTest, PlansTheRequestAndFallsBackOneByOne) {
  TServerCaps server;
  server.TakeListing(Server(":irc.test CAP * LS * :multi-prefix sasl=EXTERNAL"));
  EXPECT_FALSE(server.Listed());
  server.TakeListing(Server(":irc.test CAP * LS :batch server-time away-notify"));
  ASSERT_TRUE(server.Listed());
  EXPECT_EQ(server.Value("sasl"), "EXTERNAL");
  EXPECT_EQ(server.Request({"batch", "cap-notify", "chghost", "echo-message", "sasl", "server-time"}),
            "CAP REQ :batch sasl server-time");
  EXPECT_EQ(server.TakeAnswer(Server(":irc.test CAP al NAK :batch sasl server-time")), "CAP REQ :batch");
  EXPECT_EQ(server.TakeAnswer(Server(":irc.test CAP al ACK :batch")), "CAP REQ :sasl");
  EXPECT_EQ(server.TakeAnswer(Server(":irc.test CAP al NAK :sasl")), "CAP REQ :server-time");
  EXPECT_EQ(server.TakeAnswer(Server(":irc.test CAP al ACK :server-time")), "");
  EXPECT_EQ(server.Granted(), (std::set<std::string>{"batch", "server-time"}));
}

// What a client sees of the server's tags: all with message-tags, else only
// those of its capabilities; the time added where a line has none.
TEST(TagPolicyTest, TagsAreKeptAsNegotiatedAndTheTimeAdded) {
  const std::string_view tagged = "@msgid=1;time=2026-01-01T00:00:00.000Z;account=al :a!b@c PRIVMSG x :y";
  const std::string now = "2026-12-08T11:22:33.456Z";
  const TTagPolicy none;
  EXPECT_TRUE(none.AsIs(":a PRIVMSG x :y"));
  EXPECT_EQ(ShapeTags(tagged, none, now), ":a!b@c PRIVMSG x :y");
  const TTagPolicy time{false, true, false, false, false};
  EXPECT_EQ(ShapeTags(tagged, time, now), "@time=2026-01-01T00:00:00.000Z :a!b@c PRIVMSG x :y");
  EXPECT_EQ(ShapeTags("@msgid=2 PING :x", time, now), "@time=" + now + " PING :x");
  const TTagPolicy all{true, true, false, false, false};
  EXPECT_TRUE(all.AsIs(tagged));
  EXPECT_FALSE(all.AsIs("@msgid=3 :a NOTICE x :y"));
  EXPECT_EQ(ShapeTags("@msgid=3 :a NOTICE x :y", all, now), "@time=" + now + ";msgid=3 :a NOTICE x :y");
  EXPECT_EQ(ShapeTags(tagged, {false, false, true, false, false}, now), "@account=al :a!b@c PRIVMSG x :y");
  EXPECT_EQ(ServerTimeNow().size(), now.size());
}

}  // namespace
}  // namespace kelvox
