// The loop's ordering rules and its timers.
#include "net/event_loop.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace kelvox {
namespace {

using ::testing::ElementsAre;
using std::chrono::milliseconds;

TEST(EventLoopTest, TasksRunInPostingOrderNeverInsideThePost) {
  TEventLoop loop;
  std::vector<std::string> order;
  loop.Post([&] {
    order.push_back("a");
    loop.Post([&] { order.push_back("c"); });
    order.push_back("a-end");
  });
  loop.Post([&] { order.push_back("b"); });
  EXPECT_TRUE(order.empty());
  loop.RunUntilIdle();
  EXPECT_THAT(order, ElementsAre("a", "a-end", "b", "c"));
}

TEST(EventLoopTest, RunUntilStopsAtTheConditionOrTheTimeout) {
  TEventLoop loop;
  bool done = false;
  loop.Post([&] { done = true; });
  EXPECT_TRUE(loop.RunUntil([&] { return done; }, milliseconds(1000)));
  EXPECT_FALSE(loop.RunUntil([] { return false; }, milliseconds(20)));
}

TEST(TimerTest, TicksCarryTheTimerAndStopWhenDisabled) {
  TEventLoop loop;
  TTimer once(loop);
  TTimer clock(loop);
  int once_ticks = 0;
  int clock_ticks = 0;
  once.Tag = 41;
  once.SetInterval(5);
  once.OnTimer = [&](TTimer* sender) {
    EXPECT_EQ(sender->Tag, 41);
    ++once_ticks;
    sender->SetEnabled(false);  // a timer may stop itself
  };
  clock.SetInterval(15);
  clock.OnTimer = [&](TTimer*) { ++clock_ticks; };
  EXPECT_FALSE(once.Enabled());
  once.SetEnabled(true);
  clock.SetEnabled(true);
  ASSERT_TRUE(loop.RunUntil([&] { return clock_ticks >= 3; }, milliseconds(10000)));
  EXPECT_EQ(once_ticks, 1);

  // Re-enabling starts the countdown again.
  once.SetEnabled(true);
  ASSERT_TRUE(loop.RunUntil([&] { return once_ticks == 2; }, milliseconds(10000)));
}

TEST(TimerTest, DisablingDropsATickAlreadyQueued) {
  TEventLoop loop;
  TTimer timer(loop);
  int ticks = 0;
  timer.SetInterval(1);
  timer.OnTimer = [&](TTimer*) { ++ticks; };
  timer.SetEnabled(true);
  // A task queued ahead of the tick disables the timer before the tick runs.
  bool disabled = false;
  loop.ScheduleAt(TEventLoop::Clock::now() + milliseconds(1), [&] {
    loop.Post([&] {
      timer.SetEnabled(false);
      disabled = true;
    });
  });
  ASSERT_TRUE(loop.RunUntil([&] { return disabled; }, milliseconds(10000)));
  const int at_disable = ticks;
  loop.RunUntilIdle();
  EXPECT_EQ(ticks, at_disable);
}

TEST(TimerTest, DestroyedTimerNeverTicks) {
  TEventLoop loop;
  int ticks = 0;
  {
    TTimer timer(loop);
    timer.SetInterval(1);
    timer.OnTimer = [&](TTimer*) { ++ticks; };
    timer.SetEnabled(true);
  }
  bool later = false;
  loop.ScheduleAt(TEventLoop::Clock::now() + milliseconds(5), [&] { later = true; });
  ASSERT_TRUE(loop.RunUntil([&] { return later; }, milliseconds(10000)));
  loop.RunUntilIdle();
  EXPECT_EQ(ticks, 0);
}

// Other threads hand tasks over; they run on the event thread, in each thread's
// order, and a loop asleep in a long poll wakes for them.
TEST(EventLoopTest, TasksHandedOverFromOtherThreadsRunOnTheEventThread) {
  TEventLoop loop;
  const auto event_thread = std::this_thread::get_id();
  constexpr int kPerThread = 500;
  std::vector<int> seen[2];
  bool all_on_event_thread = true;
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        loop.PostFromThread([&, t, i] {
          all_on_event_thread = all_on_event_thread && std::this_thread::get_id() == event_thread;
          seen[t].push_back(i);
        });
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  ASSERT_TRUE(loop.RunUntil([&] { return seen[0].size() + seen[1].size() == 2 * kPerThread; },
                            milliseconds(10000)));
  EXPECT_TRUE(all_on_event_thread);
  for (const auto& order : seen) {
    ASSERT_EQ(order.size(), static_cast<std::size_t>(kPerThread));
    for (int i = 0; i < kPerThread; ++i) EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
  }

  bool woken = false;
  std::thread late([&] { loop.PostFromThread([&] { woken = true; }); });
  const auto start = TEventLoop::Clock::now();
  while (!woken && TEventLoop::Clock::now() - start < milliseconds(30000)) loop.RunOnce(milliseconds(60000));
  late.join();
  EXPECT_TRUE(woken);
  EXPECT_LT(TEventLoop::Clock::now() - start, milliseconds(30000));
}

}  // namespace
}  // namespace kelvox
