// Lookups off the event thread: a slow one holds up nothing else, answers keep
// the resolver's order, and a lookup past its limit fails.
#include "net/resolver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <initializer_list>
#include <string>
#include <vector>

#include "net/wsocket.h"
#include "net/wsocket_errors.h"
#include "tests/support/loopback.h"

namespace kelvox {
namespace {

using test::kWait;

struct TAnswerSeen {
  bool done = false;
  int error = -1;
  std::vector<std::string> addresses;
};

TResolver::TAnswer Into(TAnswerSeen& seen) {
  return [&seen](int error, const std::vector<TIpAddress>& addresses) {
    seen.done = true;
    seen.error = error;
    for (const TIpAddress& a : addresses) seen.addresses.push_back(a.Text());
  };
}

std::vector<TIpAddress> Addresses(std::initializer_list<const char*> texts) {
  std::vector<TIpAddress> addresses;
  for (const char* text : texts) {
    TIpAddress ip;
    TIpAddress::Parse(text, ip);
    addresses.push_back(ip);
  }
  return addresses;
}

// The slow name's lookup waits until the test lets it go; meanwhile a socket
// keeps exchanging lines on the same loop.
TEST(ResolverTest, ASlowLookupHoldsUpNothingElse) {
  TEventLoop loop;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  TResolver resolver(loop, [released](const std::string& name, std::vector<TIpAddress>& addresses) {
    if (name == "slow.example.net") released.wait();
    addresses = Addresses({"192.0.2.1", "2001:db8::2"});
    return 0;
  });
  TAnswerSeen slow, fast;
  resolver.Lookup("slow.example.net", Into(slow));
  resolver.Lookup("fast.example.net", Into(fast));
  ASSERT_TRUE(loop.RunUntil([&] { return fast.done; }, kWait));
  EXPECT_EQ(fast.addresses, (std::vector<std::string>{"192.0.2.1", "2001:db8::2"}));

  test::TRawListener listener;
  TWSocket sock(loop);
  std::string heard;
  sock.OnDataAvailable = [&](TWSocket* s, uint16_t) { heard += s->ReceiveText(); };
  sock.SetAddr("127.0.0.1");
  sock.SetPort(listener.PortText());
  sock.Connect();
  ASSERT_TRUE(loop.RunUntil([&] { return sock.State() == wsConnected; }, kWait));
  test::TRawPeer peer(loop, listener.Accept(), true);
  for (int i = 0; i < 100; ++i) {
    peer.Send("PING :" + std::to_string(i) + "\r\n");
    ASSERT_TRUE(loop.RunUntil([&] { return !heard.empty(); }, kWait));
    heard.clear();
  }
  EXPECT_FALSE(slow.done);
  release.set_value();
  ASSERT_TRUE(loop.RunUntil([&] { return slow.done; }, kWait));
  EXPECT_EQ(slow.error, 0);
}

TEST(ResolverTest, TheSystemsAnswersAndFailures) {
  TEventLoop loop;
  TResolver resolver(loop);
  TAnswerSeen local, invalid;
  resolver.Lookup("localhost", Into(local));
  resolver.Lookup("no-such-host.invalid", Into(invalid));
  ASSERT_TRUE(loop.RunUntil([&] { return local.done && invalid.done; }, kWait));
  EXPECT_EQ(local.error, 0);
  EXPECT_TRUE(std::find(local.addresses.begin(), local.addresses.end(), "127.0.0.1") != local.addresses.end());
  EXPECT_EQ(invalid.error, WSAHOST_NOT_FOUND);
}

TEST(ResolverTest, ALookupPastItsLimitFailsOnceAndItsAnswerIsDropped) {
  TEventLoop loop;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  TResolver resolver(loop, [released](const std::string&, std::vector<TIpAddress>& addresses) {
    released.wait();
    addresses = Addresses({"192.0.2.1"});
    return 0;
  });
  resolver.SetLimit(std::chrono::milliseconds(20));
  int answers = 0;
  int error = -1;
  resolver.Lookup("stuck.example.net", [&](int e, const std::vector<TIpAddress>&) {
    ++answers;
    error = e;
  });
  ASSERT_TRUE(loop.RunUntil([&] { return answers > 0; }, kWait));
  EXPECT_EQ(error, WSATRY_AGAIN);
  release.set_value();
  TAnswerSeen later;
  resolver.Lookup("next.example.net", Into(later));
  ASSERT_TRUE(loop.RunUntil([&] { return later.done; }, kWait));
  loop.RunUntilIdle();
  EXPECT_EQ(answers, 1);
}

}  // namespace
}  // namespace kelvox
