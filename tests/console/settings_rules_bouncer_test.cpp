// The settings dialog's rules as users of a listening bouncer feel them.
#include <gtest/gtest.h>

#include "config/settings.h"
#include "console/console_model.h"
#include "console/settings_rules.h"
#include "engine/bouncer.h"
#include "engine/session.h"
#include "tests/support/loopback.h"
#include "tests/support/temp_dir.h"

namespace kelvox {
namespace {

using TSetResult = TConfigurationDialog::TSetResult;
using test::kWait;
using test::TRawPeer;

class SettingsRulesBouncerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Port 0: the system picks one, which the test reads back.
    dir.Write("Config.ini", "[Main]\r\nPort=0\r\nBeep=no\r\n");
    config.FormCreate();
    bouncer.FormShow();
    bouncer.Button1Click();
    ASSERT_EQ(bouncer.Server.State(), wsListening);
    port = static_cast<uint16_t>(bouncer.Server.BoundPort());
  }

  /// A user connects and is admitted (or refused); returns what it received
  /// until the bouncer had spoken its first line.
  std::string Visit() {
    TRawPeer user(loop, port);
    EXPECT_TRUE(loop.RunUntil([&] { return user.Received().find("\r\n") != std::string::npos; }, kWait));
    return user.Received().substr(0, user.Received().find("\r\n") + 2);
  }

  test::TTempDir dir;
  TEventLoop loop;
  TConsoleModel console{loop};
  TSettings settings{dir.Path()};
  TBouncer bouncer{loop, settings, console};
  TConfigurationDialog config{settings, console};
  uint16_t port = 0;
};

TEST_F(SettingsRulesBouncerTest, ANewPortIsSavedAndAnnouncedButTheListenerStays) {
  test::TClosedPort other;
  config.Open();
  ASSERT_EQ(config.Set("Port", other.PortText()), TSetResult::Done);
  EXPECT_EQ(console.StatusText(0), "Listen on port: " + other.PortText());
  EXPECT_TRUE(config.Confirm());
  EXPECT_EQ(console.StatusText(0), "New listen port, restart the bouncer.");
  EXPECT_NE(dir.Read("Config.ini").find("\r\nPort=" + other.PortText() + "\r\n"), std::string::npos);

  EXPECT_EQ(bouncer.Server.BoundPort(), port);
  EXPECT_EQ(Visit(), BouncerNotice(GreetingBanner()));
}

TEST_F(SettingsRulesBouncerTest, OnlyTheseAddressesThenCancelRefusesAtOnceUntilTheReopening) {
  config.Open();
  ASSERT_EQ(config.Set("Acces", "only"), TSetResult::Done);
  config.Cancel();
  EXPECT_EQ(Visit(), BouncerNotice("   You are not welcome, Bye.\r\n"));
  config.Open();
  EXPECT_EQ(settings.Acces, TListMode::all);
  EXPECT_EQ(Visit(), BouncerNotice(GreetingBanner()));
}

TEST_F(SettingsRulesBouncerTest, DifferingAdminPasswordsLeaveTheEmptiedOneInForce) {
  TRawPeer user(loop, port);
  const std::string welcome = BouncerNotice("   Use /quote CONN <Server>[:<Port>]  to connect.\r\n");
  ASSERT_TRUE(loop.RunUntil([&] { return user.Received().find(welcome) != std::string::npos; }, kWait));
  config.Open();
  ASSERT_EQ(config.Set("Admin password", "secret1"), TSetResult::Done);
  ASSERT_EQ(config.Set("Admin password confirmation", "secret2"), TSetResult::Done);
  EXPECT_FALSE(config.Confirm());
  EXPECT_EQ(console.Errors(), std::vector<std::string>{"Check Admin password."});

  // Neither the saved password nor the one typed lets the user in now.
  user.Send("ADMIN tolvin\r\nADMIN secret1\r\n");
  const std::string refused = BouncerNotice("   Bad password.\r\n");
  ASSERT_TRUE(loop.RunUntil([&] { return user.Received().find(refused + refused) != std::string::npos; }, kWait))
      << user.Received();
}

}  // namespace
}  // namespace kelvox
