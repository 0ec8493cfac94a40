// A session's channels followed from the server's lines, and the burst an
// attaching client gets from them.
#include "engine/channel_state.h"

#include <initializer_list>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace kelvox {
namespace {

using Lines = std::vector<std::string>;

TChannelState Following(std::initializer_list<std::string_view> lines) {
  TChannelState state;
  for (const std::string_view line : lines) state.Take(line);
  return state;
}

TEST(ChannelStateTest, FollowsTheWelcomeJoinsTopicsAndNamesIntoTheBurst) {
  const TChannelState state = Following({
      "@time=2026-12-08T11:22:33.456Z :irc.test 001 al :Welcome al",
      ":irc.test 005 al PREFIX=(qaohv)~&@%+ CHANMODES=beI,k,l,imnpst :are supported by this server",
      ":al!~al@host.test JOIN #Kelvox",
      ":irc.test 332 al #kelvox :the bouncer's channel",
      ":irc.test 353 al @ #kelvox :~@al %bo +cy",
      ":irc.test 353 al @ #kelvox :dee",
      ":irc.test 366 al #kelvox :End of /NAMES list.",
      "@account=al :al!~al@host.test JOIN #b * :Al",  // extended-join
      ":irc.test 353 al = #b :@al",
      ":irc.test 366 al #b :End of /NAMES list.",
      ":irc.test 353 al = #elsewhere :zed",  // a NAMES of a channel it is not on
  });
  EXPECT_EQ(state.Nick(), "al");
  EXPECT_EQ(state.Self(), "al!~al@host.test");
  EXPECT_EQ(state.Channels(), (Lines{"#Kelvox", "#b"}));
  EXPECT_EQ(state.Burst({.MultiPrefix = true}),
            (Lines{":al!~al@host.test JOIN #Kelvox",
                   ":irc.test 332 al #Kelvox :the bouncer's channel",
                   ":irc.test 353 al @ #Kelvox :~@al %bo +cy dee",
                   ":irc.test 366 al #Kelvox :End of /NAMES list.",
                   ":al!~al@host.test JOIN #b",
                   ":irc.test 353 al = #b :@al",
                   ":irc.test 366 al #b :End of /NAMES list."}));
  EXPECT_EQ(state.Names("#KELVOX", {}), (Lines{"~al", "%bo", "+cy", "dee"}));
}

TEST(ChannelStateTest, FollowsOthersComingGoingRenamedAndGivenModes) {
  TChannelState state = Following({
      ":irc.test 001 al :Welcome",
      ":al!a@h JOIN #k",
      ":irc.test 353 al = #k :@al bo cy dee eve",
      ":irc.test 366 al #k :End of /NAMES list.",
      ":bo!b@bo.test NICK :Bob",
      ":cy!c@h PART #k :bye",
      ":al!a@h KICK #k dee :out",
      ":eve!e@h QUIT :gone",
      ":fay!f@fay.test JOIN #k",
      ":al!a@h MODE #k +ob-o+lkvo Bob *!*@spam al 20 key fay fay",
      ":al!a@h TOPIC #k :new topic",
      ":al!a@h NICK alice",
  });
  EXPECT_EQ(state.Nick(), "alice");
  EXPECT_EQ(state.Names("#k", {.MultiPrefix = true, .UserHosts = true}),
            (Lines{"alice!a@h", "@Bob!b@bo.test", "@+fay!f@fay.test"}));
  EXPECT_EQ(state.Topic("#k"), "new topic");
  state.Take(":irc.test 331 alice #k :No topic is set");
  EXPECT_EQ(state.Topic("#k"), "");
  state.Take(":irc.test 353 alice = #k :@alice zed");  // a later NAMES replaces the list
  EXPECT_EQ(state.Names("#k", {}), (Lines{"@alice", "zed"}));
  state.Take(":Bob!b@h KICK #k alice :out");
  EXPECT_TRUE(state.Channels().empty());
  state.Take(":alice!a@h JOIN #x");
  state.Take(":alice!a@h PART #x");
  EXPECT_TRUE(state.Burst({}).empty());
}

TEST(ChannelStateTest, LongNamesSplitWithinTheLineLengthAndANewWelcomeForgetsAll) {
  TChannelState state = Following({":irc.test 001 al :Welcome", ":al JOIN #k"});
  std::string names;
  for (int i = 0; i < 100; ++i) names += " +member-number-" + std::to_string(i);
  state.Take(":irc.test 353 al = #k :" + names.substr(1));
  const Lines burst = state.Burst({});
  ASSERT_EQ(burst.size(), 6u);
  EXPECT_EQ(burst.front(), ":al JOIN #k");
  std::string listed;
  for (std::size_t i = 1; i + 1 < burst.size(); ++i) {
    EXPECT_LE(burst[i].size(), 510u);
    EXPECT_TRUE(i + 2 == burst.size() || burst[i].size() > 490u) << burst[i];  // filled before the next
    const std::string head = ":irc.test 353 al = #k :";
    ASSERT_EQ(burst[i].substr(0, head.size()), head);
    listed += " " + burst[i].substr(head.size());
  }
  EXPECT_EQ(listed.size(), names.size());  // every member once
  state.Take(":irc2.test 001 al2 :Welcome");
  EXPECT_TRUE(state.Channels().empty());
  EXPECT_EQ(state.Server(), "irc2.test");
}

}  // namespace
}  // namespace kelvox
