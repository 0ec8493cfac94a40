// Admission: the user limit, the ban list, the access rule, the password prompt
// and the greeting, with their grid cells.
#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "tests/engine/engine_fixture.h"

namespace kelvox::test {
namespace {

class AdmissionTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    Start();
  }
  void Allow(TListMode mode, TEntries entries) {
    settings.AccessList.Assign(entries);
    settings.Acces = mode;
    settings.SettingChanged("Acces");
  }
};

TEST_F(AdmissionTest, GreetsWithTheBannerAndTheWelcomeLinesInOrder) {
  settings.WelcomeText = {"Hello there.", "Second line."};
  TRecordingPeer& user = Connect();
  EXPECT_EQ(user.Take(), Banner() + Notice("   Hello there.\r\n") + Notice("   Second line.\r\n"));
  EXPECT_EQ(console.GetCell(1, 1), "Waiting...");
  EXPECT_EQ(console.GetCell(4, 1), "1");
  EXPECT_FALSE(console.GetCell(3, 1).empty());
  EXPECT_EQ(console.RowCount(), 3);
  EXPECT_EQ(console.UserCount(), "1");
  EXPECT_EQ(console.TrayHint(), "Kelvox - ONLINE (1 users)");

  settings.WelcomeText.clear();
  EXPECT_EQ(Connect().Take(), Banner());
}

TEST_F(AdmissionTest, GreetingIsLoggedUnderTheAddressAndThePromptIsNot) {
  settings.Log = true;
  GreetedUser("127.0.0.1");  // a user on this machine, seen under its address
  EXPECT_NE(dir.Read("log.txt").find(std::string("] ") + kMachine + " Connected to Kelvox\r\n"), std::string::npos);

  settings.Identification = true;
  GreetedUser("10.0.0.2");
  EXPECT_EQ(console.GetCell(1, 2), "Identification...");
  EXPECT_EQ(dir.Read("log.txt").find("10.0.0.2"), std::string::npos);
}

// A user on the TLS port whose handshake fails leaves as any user does, and
// is counted; a plain end is not.
TEST_F(AdmissionTest, AFailedTlsHandshakeOfAUserIsCounted) {
  TRecordingPeer& user = Connect();
  user.TlsFailure = "handshake failed: wrong version number";
  user.PeerCloses(10053);
  TRecordingPeer& plain = Connect("10.0.0.2");
  plain.PeerCloses();
  Settle();
  EXPECT_EQ(bouncer.UserCount(), 0);
  EXPECT_EQ(bouncer.Counters().FailedTlsHandshakes, 1u);
}

// Over Max, the user is shown with its tag, told, and closed; its departure
// then removes it.
TEST_F(AdmissionTest, UserOverTheLimitIsToldAndClosed) {
  settings.Max = "2";
  Connect();
  Connect();
  TRecordingPeer& third = transport.Accept();
  EXPECT_EQ(console.GetCell(4, 3), "3");
  Settle();
  EXPECT_EQ(third.Take(), Notice("   Too many connections, bye.\r\n"));
  EXPECT_EQ(third.State(), wsClosed);
  EXPECT_EQ(bouncer.UserCount(), 2);
  EXPECT_EQ(console.RowCount(), 4);
  EXPECT_EQ(console.GetCell(4, 3), "");
  EXPECT_EQ(console.UserCount(), "2");

  settings.Max = "ten";  // no number: no limit
  EXPECT_EQ(Connect().Take(), Greeting());
  settings.Max = "0";
  EXPECT_EQ(Connect().Take(), Notice("   Too many connections, bye.\r\n"));
}

TEST_F(AdmissionTest, BanListAndAccessRuleJudgeTheConvertedAddress) {
  settings.BanList.Add("10.9.*");
  Allow(TListMode::only, {"10.0.0.*"});
  EXPECT_EQ(Connect("127.0.0.1").Take(), Notice("   You are banned, Bye.\r\n"));
  EXPECT_EQ(Connect("10.0.1.1").Take(), Notice("   You are not welcome, Bye.\r\n"));
  EXPECT_EQ(Connect("10.0.0.1").Take(), Greeting());
  Allow(TListMode::except, {"10.0.0.*"});
  EXPECT_EQ(Connect("10.0.0.1").Take(), Notice("   You are not welcome, Bye.\r\n"));
  Allow(TListMode::only, {});
  EXPECT_EQ(Connect("10.0.0.1").Take(), Notice("   You are not welcome, Bye.\r\n"));
  settings.BanList.Clear();
  Allow(TListMode::only, {kMachine});
  EXPECT_EQ(Connect("127.0.0.1").Take(), Greeting());
}

// One address may keep a few connections waiting to identify, not the table.
TEST_F(AdmissionTest, OneAddressMayKeepOnlyAFewConnectionsWaiting) {
  settings.Max = "50";
  std::vector<TRecordingPeer*> waiting;
  for (int i = 0; i < kMaxWaitingPerAddress; ++i) waiting.push_back(&GreetedUser("10.0.0.7"));
  EXPECT_EQ(Connect("10.0.0.7").Take(), Notice("   Too many connections from your address, bye.\r\n"));
  EXPECT_EQ(Connect("10.0.0.8").Take(), Greeting());  // other addresses are not concerned
  // A user who has identified (with CONN, no password being asked) makes room.
  Say(*waiting[0], "CONN 192.0.2.10\r\n");
  EXPECT_EQ(Connect("10.0.0.7").Take(), Greeting());
}

// Host names in the lists are looked up when the lists are read, not when a
// user arrives: admission looks nothing up.
TEST_F(AdmissionTest, HostNameEntriesCostNoLookupAtAdmission) {
  transport.Hosts["banned.example.net"] = "10.0.0.66";
  settings.BanList.Add("banned.example.net");
  Allow(TListMode::except, {"refused.example.net"});
  bouncer.SettingsReloaded();
  Settle();
  const int lookups = transport.Lookups();
  EXPECT_EQ(Connect("10.0.0.66").Take(), Notice("   You are banned, Bye.\r\n"));
  for (int i = 0; i < 3; ++i) Say(GreetedUser("127.0.0.1"), "NICK joe\r\n");
  EXPECT_EQ(transport.Lookups(), lookups);
}

// The console fails once while admitting: that user is closed, the listener and
// the next user are not affected.
class TFailingConsole : public TConsoleModel {
 public:
  using TConsoleModel::TConsoleModel;
  void SetCell(int column, int row, const std::string& text) override {
    if (fail_next && column == 1) {
      fail_next = false;
      throw std::runtime_error("console failure");
    }
    TConsoleModel::SetCell(column, row, text);
  }
  bool fail_next = false;
};

TEST(AdmissionFailureTest, FailingAdmissionLeavesTheListenerServing) {
  TTempDir dir;
  TEventLoop loop;
  TSettings settings(dir.Path());
  TFailingConsole console(loop);
  TRecordingTransport transport(loop);
  TBouncer bouncer(loop, settings, console, transport);
  bouncer.FormShow();
  bouncer.Button1Click();
  console.fail_next = true;
  TRecordingPeer& failed = transport.Accept();
  loop.RunUntilIdle();
  EXPECT_EQ(failed.State(), wsClosed);
  EXPECT_EQ(bouncer.UserCount(), 0);
  EXPECT_TRUE(bouncer.Listening());
  TRecordingPeer& next = transport.Accept();
  loop.RunUntilIdle();
  EXPECT_FALSE(next.Sent().empty());
  EXPECT_EQ(console.GetCell(1, 1), "Waiting...");
}

// Users over IPv6: shown and logged by their compressed address, judged by
// IPv6 masks; one on ::1 is the machine, as one on 127.0.0.1 is. The
// listeners are given the address setting.
TEST_F(AdmissionTest, Ipv6UsersAreShownAndJudgedByTheirAddress) {
  settings.Log = true;
  TRecordingPeer& user = GreetedUser("2001:db8::5");
  Say(user, "NICK joe\r\n");
  EXPECT_EQ(console.GetCell(0, 1), "joe@2001:db8::5");
  EXPECT_NE(dir.Read("log.txt").find("2001:db8::5 Connected to Kelvox"), std::string::npos);
  settings.BanList.Add("2001:DB8::*");
  EXPECT_EQ(Connect("2001:db8::6").Take(), Notice("   You are banned, Bye.\r\n"));
  EXPECT_EQ(Connect("2001:db9::6").Take(), Greeting());
  settings.BanList.Add(kMachine);
  EXPECT_EQ(Connect("::1").Take(), Notice("   You are banned, Bye.\r\n"));
  EXPECT_EQ(transport.RecordingListener().Address, "");
}

}  // namespace
}  // namespace kelvox::test
