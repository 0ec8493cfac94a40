// The settings dialog's rules as users of a listening bouncer feel them.
#include <gtest/gtest.h>

#include "config/settings.h"
#include "console/console_model.h"
#include "console/settings_rules.h"
#include "engine/bouncer.h"
#include "engine/session.h"
#include "tests/support/recording_transport.h"
#include "tests/support/temp_dir.h"

namespace kelvox {
namespace {

using TSetResult = TConfigurationDialog::TSetResult;
using test::TRecordingPeer;

class SettingsRulesBouncerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir.Write("Config.ini", "[Main]\r\nPort=6000\r\nBeep=no\r\n");
    config.FormCreate();
    bouncer.FormShow();
    bouncer.Button1Click();
    ASSERT_TRUE(bouncer.Listening());
  }

  /// A user connects and is admitted (or refused); returns the bouncer's first line to it.
  std::string Visit() {
    const std::string told = Say(transport.Accept(), "");
    return told.substr(0, told.find("\r\n") + 2);
  }
  std::string Say(TRecordingPeer& user, const std::string& bytes) {
    user.Receive(bytes);
    loop.RunUntilIdle();
    return user.Take();
  }

  test::TTempDir dir;
  TEventLoop loop;
  TConsoleModel console{loop};
  TSettings settings{dir.Path()};
  test::TRecordingTransport transport{loop};
  TBouncer bouncer{loop, settings, console, transport};
  TConfigurationDialog config{settings, console};
};

TEST_F(SettingsRulesBouncerTest, ANewPortIsSavedAndAnnouncedButTheListenerStays) {
  config.Open();
  ASSERT_EQ(config.Set("Port", "7000"), TSetResult::Done);
  EXPECT_EQ(console.StatusText(0), "Listen on port: 7000");
  EXPECT_TRUE(config.Confirm());
  EXPECT_EQ(console.StatusText(0), "New listen port, restart the bouncer.");
  EXPECT_NE(dir.Read("Config.ini").find("\r\nPort=7000\r\n"), std::string::npos);

  EXPECT_EQ(transport.Listener().BoundPort(), 6000);
  EXPECT_EQ(Visit(), BouncerNotice("*", GreetingBanner()));
}

TEST_F(SettingsRulesBouncerTest, OnlyTheseAddressesThenCancelRefusesAtOnceUntilTheReopening) {
  config.Open();
  ASSERT_EQ(config.Set("Acces", "only"), TSetResult::Done);
  config.Cancel();
  EXPECT_EQ(Visit(), BouncerNotice("*", "   You are not welcome, Bye.\r\n"));
  config.Open();
  EXPECT_EQ(settings.Acces, TListMode::all);
  EXPECT_EQ(Visit(), BouncerNotice("*", GreetingBanner()));
}

TEST_F(SettingsRulesBouncerTest, DifferingAdminPasswordsLeaveTheEmptiedOneInForce) {
  TRecordingPeer& user = transport.Accept();
  config.Open();
  ASSERT_EQ(config.Set("Admin password", "secret1"), TSetResult::Done);
  ASSERT_EQ(config.Set("Admin password confirmation", "secret2"), TSetResult::Done);
  EXPECT_FALSE(config.Confirm());
  EXPECT_EQ(console.Errors(), std::vector<std::string>{"Check Admin password."});

  // Neither the saved password nor the one typed lets the user in now.
  Say(user, "");
  const std::string refused = BouncerNotice("*", "   Bad password.\r\n");
  EXPECT_EQ(Say(user, "ADMIN tolvin\r\nADMIN secret1\r\n"), refused + refused);
}

}  // namespace
}  // namespace kelvox
