// The pieces of sessions that outlive their client: the ring of held lines, the
// key's rule and comparison, and held lines replayed with their times.
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/linger_key.h"
#include "engine/linger_replay.h"
#include "engine/linger_ring.h"

namespace kelvox {
namespace {

using namespace std::chrono_literals;
using TClock = std::chrono::system_clock;

// 2026-12-08 11:22:33.456 UTC.
const TClock::time_point kArrived = TClock::time_point(1796728953s) + 456ms;

std::vector<std::string> Texts(TLingerRing::TRange lines) {
  std::vector<std::string> texts;
  for (const THeldLine& line : lines) texts.push_back(std::to_string(line.Sequence) + " " + line.Text);
  return texts;
}

TEST(LingerRingTest, HoldsInOrderDropsTheOldestAndGivesEachClientWhatItHasNotSeen) {
  TLingerRing ring(3);
  for (const char* text : {"a", "bb", "ccc", "dddd", "eeeee"}) ring.Hold(text, kArrived);
  EXPECT_EQ(Texts(ring.Since(0)), (std::vector<std::string>{"3 ccc", "4 dddd", "5 eeeee"}));
  EXPECT_EQ(Texts(ring.Since(3)), (std::vector<std::string>{"4 dddd", "5 eeeee"}));
  EXPECT_TRUE(ring.Since(5).empty());
  EXPECT_EQ(ring.Lines().front().Arrived, kArrived);
  EXPECT_EQ(ring.Dropped(), 2u);
  EXPECT_EQ(ring.MissedSince(0), 2u);
  EXPECT_EQ(ring.MissedSince(1), 1u);
  EXPECT_EQ(ring.MissedSince(2), 0u);
  EXPECT_EQ(ring.Bytes(), 12u);
  EXPECT_EQ(ring.LastSequence(), 5u);

  ring.SetCapacity(1);
  EXPECT_EQ(Texts(ring.Since(0)), (std::vector<std::string>{"5 eeeee"}));
  EXPECT_EQ(ring.Dropped(), 4u);
  EXPECT_EQ(ring.Bytes(), 5u);
  ring.Clear();  // the sequences go on: a client that saw 5 sees 6 as new
  EXPECT_EQ(ring.Bytes(), 0u);
  EXPECT_EQ(ring.Hold("f", kArrived), 6u);
  EXPECT_EQ(Texts(ring.Since(5)), (std::vector<std::string>{"6 f"}));
  ring.SetCapacity(0);
  EXPECT_EQ(ring.Hold("g", kArrived), 7u);
  EXPECT_TRUE(ring.Lines().empty());
  EXPECT_EQ(ring.Dropped(), 6u);
}

TEST(LingerRingTest, ALineBeyondTheLongestIsCut) {
  TLingerRing ring(2);
  ring.Hold(std::string(TLingerRing::kMaxHeldLine + 10, 'x'), kArrived);
  EXPECT_EQ(ring.Lines().front().Text, std::string(TLingerRing::kMaxHeldLine, 'x'));
  EXPECT_EQ(ring.Bytes(), 16u * 1024);
}

TEST(LingerKeyTest, TwelveToSixtyFourPrintablesWithoutBlanks) {
  EXPECT_TRUE(IsLingerKey("abcdefghijkl"));
  EXPECT_TRUE(IsLingerKey(std::string(64, '~')));
  EXPECT_TRUE(IsLingerKey("!\"#$%&'()*+,-./:;<=>?@[\\]^_`{|}"));
  EXPECT_FALSE(IsLingerKey("abcdefghijk"));
  EXPECT_FALSE(IsLingerKey(std::string(65, 'a')));
  EXPECT_FALSE(IsLingerKey("abcdef ghijkl"));
  EXPECT_FALSE(IsLingerKey("abcdef\tghijkl"));
  EXPECT_FALSE(IsLingerKey("abcdefghijkl\x7f"));
  EXPECT_FALSE(IsLingerKey("abcdefghijkl\xc3\xa9"));
}

TEST(LingerKeyTest, KeysCompareByEveryByteAndTheirLength) {
  EXPECT_TRUE(SameLingerKey("abcdefghijkl", "abcdefghijkl"));
  EXPECT_FALSE(SameLingerKey("abcdefghijkl", "abcdefghijkL"));
  EXPECT_FALSE(SameLingerKey("abcdefghijkl", "abcdefghijklm"));
  EXPECT_FALSE(SameLingerKey("abcdefghijkl", std::string("abcdefghijkl\0", 13)));  // no padding match
  EXPECT_FALSE(SameLingerKey(std::string(65, 'a'), std::string(65, 'a')));
  EXPECT_TRUE(SameLingerKey("", ""));  // callers take only keys that pass IsLingerKey
}

// Sets the time zone for one test, and puts back the one before.
class TZone {
 public:
  explicit TZone(const char* zone) {
    if (const char* old = std::getenv("TZ")) old_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~TZone() {
    if (old_) {
      setenv("TZ", old_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  std::optional<std::string> old_;
};

TEST(LingerReplayTest, ServerTimeCarriesTheArrivalUnlessTheServerGaveItsOwn) {
  const TTagPolicy time{.Time = true};
  EXPECT_EQ(ReplayLine(":al!a@h PRIVMSG #k :hi", kArrived, time), "@time=2026-12-08T11:22:33.456Z :al!a@h PRIVMSG #k :hi");
  EXPECT_EQ(ReplayLine("@account=al;time=2026-12-08T10:00:00.000Z :al!a@h JOIN #k", kArrived, time),
            "@time=2026-12-08T10:00:00.000Z :al!a@h JOIN #k");
  EXPECT_EQ(ReplayLine("@msgid=7 :al!a@h PRIVMSG #k :\x01" "ACTION waves\x01", kArrived, {.All = true, .Time = true}),
            "@time=2026-12-08T11:22:33.456Z;msgid=7 :al!a@h PRIVMSG #k :\x01" "ACTION waves\x01");
}

TEST(LingerReplayTest, WithoutServerTimeMessagesStartWithTheLocalTime) {
  const TZone utc("UTC0");
  EXPECT_EQ(ReplayLine(":al!a@h PRIVMSG #k :hi there", kArrived, {}), ":al!a@h PRIVMSG #k :[11:22] hi there");
  EXPECT_EQ(ReplayLine("@account=al :al!a@h notice  bo  hi", kArrived, {}), ":al!a@h notice  bo  :[11:22] hi");
  EXPECT_EQ(ReplayLine("@msgid=7 PRIVMSG #k ::)", kArrived, {.All = true}), "@msgid=7 PRIVMSG #k :[11:22] :)");
  EXPECT_EQ(ReplayLine(":al!a@h PRIVMSG #k :\x01" "ACTION waves\x01", kArrived, {}),
            ":al!a@h PRIVMSG #k :\x01" "ACTION waves\x01");
  EXPECT_EQ(ReplayLine(":al!a@h TOPIC #k :hi", kArrived, {}), ":al!a@h TOPIC #k :hi");
  EXPECT_EQ(ReplayLine(":irc.test 372 al :- hi", kArrived, {}), ":irc.test 372 al :- hi");
  EXPECT_EQ(ReplayLine(":al!a@h PRIVMSG #k", kArrived, {}), ":al!a@h PRIVMSG #k");
  const TZone east("EST5");
  EXPECT_EQ(ShortTimePrefix(kArrived), "[06:22] ");
}

}  // namespace
}  // namespace kelvox
