// Admission over real loopback connections: the user limit, the ban list, the
// access rule, the password prompt and the greeting, with their grid cells.
#include <gtest/gtest.h>

#include "tests/engine/bouncer_fixture.h"

namespace kelvox::test {
namespace {

using AdmissionTest = BouncerTest;

TEST_F(AdmissionTest, GreetsWithTheBannerAndTheWelcomeLinesInOrder) {
  settings.WelcomeText = {"Hello there.", "Second line."};
  Start();
  TRawPeer& user = Connect();
  WaitReceived(user, Banner() + Notice("   Hello there.\r\n") + Notice("   Second line.\r\n"));
  EXPECT_EQ(console.GetCell(1, 1), "Waiting...");
  EXPECT_EQ(console.GetCell(4, 1), "1");
  EXPECT_FALSE(console.GetCell(3, 1).empty());
  EXPECT_EQ(console.RowCount(), 3);
  EXPECT_EQ(console.UserCount(), "1");
  EXPECT_EQ(console.TrayHint(), "Kelvox - ONLINE (1 users)");
  EXPECT_EQ(bouncer.ClientOfSlot(0)->Slot, 0);
}

TEST_F(AdmissionTest, BannerAloneWithoutWelcomeText) {
  settings.WelcomeText.clear();
  Start();
  TRawPeer& user = Connect();
  WaitReceived(user, Banner());
}

TEST_F(AdmissionTest, PasswordRequiredShowsOnlyThePromptAndLogsNothing) {
  settings.Identification = true;
  settings.Log = true;
  Start();
  TRawPeer& user = Connect();
  WaitReceived(user, Notice("   Enter your password. /quote PASS <password>\r\n"));
  EXPECT_EQ(console.GetCell(1, 1), "Identification...");
  EXPECT_FALSE(dir.Exists("log.txt"));
}

TEST_F(AdmissionTest, GreetedUserIsLoggedUnderItsAddress) {
  settings.Log = true;
  Start();
  TRawPeer& user = Connect();
  WaitReceived(user, Greeting());
  const std::string log = dir.Read("log.txt");
  EXPECT_NE(log.find("] " + bouncer.Checks().ConvertLocalIp("127.0.0.1") + " Connected to Kelvox\r\n"),
            std::string::npos)
      << log;
}

// With Max users on, the next one is shown with its tag, told, and closed; its
// departure then removes it.
TEST_F(AdmissionTest, UserOverTheLimitIsToldAndClosed) {
  settings.Max = "5";
  Start();
  for (int i = 0; i < 5; ++i) Connect();
  std::string tag_while_admitted;
  bouncer.Server.OnClientConnect = [&](TWSocketServer* s, TWSocketClient* c, uint16_t e) {
    bouncer.ServerClientConnect(s, c, e);
    tag_while_admitted = console.GetCell(4, 6);
  };
  TRawPeer& sixth = Connect();
  EXPECT_EQ(tag_while_admitted, "6");
  WaitClosed(sixth);
  EXPECT_EQ(sixth.Received(), Notice("   Too many connections, bye.\r\n"));
  WaitUsers(5);
  EXPECT_EQ(console.RowCount(), 7);
  EXPECT_EQ(console.GetCell(4, 6), "");
  EXPECT_EQ(console.UserCount(), "5");
}

TEST_F(AdmissionTest, MaxZeroRefusesTheFirstUserAndNonNumericMaxRefusesNobody) {
  settings.Max = "0";
  Start();
  TRawPeer& first = Connect();
  WaitClosed(first);
  EXPECT_EQ(first.Received(), Notice("   Too many connections, bye.\r\n"));

  settings.Max = "ten";
  TRawPeer& second = Connect();
  WaitReceived(second, Greeting());
}

TEST_F(AdmissionTest, BannedAddressHearsOnlyThatItIsBanned) {
  bouncer.Checks().MachineName = [] { return std::string("127.0.0.2"); };
  settings.BanList.Add("127.0.0.*");
  settings.Acces = TListMode::only;
  settings.SettingChanged("Acces");
  Start();
  TRawPeer& user = Connect();
  WaitClosed(user);
  EXPECT_EQ(user.Received(), Notice("   You are banned, Bye.\r\n"));
}

TEST_F(AdmissionTest, AccessRuleWithAnEmptyList) {
  settings.Acces = TListMode::only;
  settings.SettingChanged("Acces");
  Start();
  TRawPeer& refused = Connect();
  WaitClosed(refused);
  EXPECT_EQ(refused.Received(), Notice("   You are not welcome, Bye.\r\n"));

  settings.Acces = TListMode::except;
  settings.SettingChanged("Acces");
  TRawPeer& welcome = Connect();
  WaitReceived(welcome, Greeting());
}

// A user on this machine is judged under the machine's own address, not 127.0.0.1.
TEST_F(AdmissionTest, LocalUserIsCheckedUnderTheMachinesOwnAddress) {
  bouncer.Checks().MachineName = [] { return std::string("127.0.0.2"); };
  settings.AccessList.Add("127.0.0.2");
  settings.Acces = TListMode::only;
  settings.SettingChanged("Acces");
  Start();
  TRawPeer& user = Connect();
  WaitReceived(user, Greeting());

  settings.BanList.Add("127.0.0.2");
  TRawPeer& banned = Connect();
  WaitClosed(banned);
  EXPECT_EQ(banned.Received(), Notice("   You are banned, Bye.\r\n"));
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
  settings.Port = "0";
  TFailingConsole console(loop);
  TBouncer bouncer(loop, settings, console);
  bouncer.FormShow();
  bouncer.Button1Click();
  const auto port = static_cast<uint16_t>(bouncer.Server.BoundPort());

  console.fail_next = true;
  TRawPeer failed(loop, port);
  ASSERT_TRUE(loop.RunUntil([&] { return failed.Eof(); }, kWait));
  ASSERT_TRUE(loop.RunUntil([&] { return bouncer.UserCount() == 0; }, kWait));
  EXPECT_EQ(bouncer.Server.State(), wsListening);

  TRawPeer next(loop, port);
  ASSERT_TRUE(loop.RunUntil([&] { return !next.Received().empty() && bouncer.UserCount() == 1; }, kWait));
  EXPECT_EQ(console.GetCell(1, 1), "Waiting...");
}

}  // namespace
}  // namespace kelvox::test
