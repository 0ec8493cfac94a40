// The core that both programs are made of: its signals reload the settings and
// close the bouncer without asking, through the front end's hooks.
#include "app/core.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>

#include "config/settings.h"
#include "console/console_model.h"
#include "console/metrics_server.h"
#include "console/settings_rules.h"
#include "engine/bouncer.h"
#include "tests/support/loopback.h"
#include "tests/support/temp_dir.h"

namespace kelvox::test {

TEST(CoreTest, SignalsReloadTheSettingsAndCloseWithoutAskingThroughTheFrontEnd) {
  TTempDir dir;
  TCore core(dir.Path());
  TConsoleModel console(core.Loop());
  int reloaded = 0;
  bool closed = false;
  core.Open(console, {.LogfileCure = {},
                      .OnClosed = [&] { closed = true; },
                      .OnReloaded = [&] { ++reloaded; }});
  const uint16_t port = FreeListenPort();
  dir.Write("Config.ini", "[Main]\r\nPort=" + std::to_string(port) + "\r\nAutoStart=yes\r\nBeep=no\r\n");
  EXPECT_FALSE(core.Start());
  core.Bouncer().FormShow();
  ASSERT_TRUE(core.Bouncer().Listening()) << console.StatusText(0);

  // A new port in the file is in force for the next Start; the listener keeps its own.
  dir.Write("Config.ini", "[Main]\r\nPort=" + std::to_string(port + 1) + "\r\nAutoStart=yes\r\nBeep=no\r\n");
  raise(SIGHUP);
  ASSERT_TRUE(core.Loop().RunUntil([&] { return reloaded == 1; }, std::chrono::seconds(10)));
  EXPECT_EQ(core.Settings().Port, std::to_string(port + 1));
  EXPECT_EQ(console.StatusText(0), "New listen port, restart the bouncer.");

  // A user is connected, and nobody is asked: the users are told and the front end ends.
  TRawPeer user(core.Loop(), port);
  ASSERT_TRUE(core.Loop().RunUntil([&] { return core.Bouncer().UserCount() == 1; }, std::chrono::seconds(10)));
  console.AskHandler = [](const std::string&, const std::string&) {
    ADD_FAILURE() << "a stop signal asked";
    return false;
  };
  raise(SIGTERM);
  ASSERT_TRUE(core.Loop().RunUntil([&] { return closed; }, std::chrono::seconds(10)));
  EXPECT_TRUE(core.Stopping());
  EXPECT_FALSE(core.Bouncer().Listening());
  ASSERT_TRUE(core.Loop().RunUntil([&] { return user.Eof(); }, std::chrono::seconds(10)));
  EXPECT_NE(user.Received().find("   Disconnection - Bouncer is down.\r\n"), std::string::npos);
  raise(SIGHUP);  // too late: the program is ending
  core.Finish();
  EXPECT_EQ(reloaded, 1);
}

// The metrics port is served from the start, and follows the settings when
// they are confirmed or read again, not while they are edited.
TEST(CoreTest, TheMetricsPortFollowsConfirmationsAndReloads) {
  TTempDir dir;
  TCore core(dir.Path());
  TConsoleModel console(core.Loop());
  int reloaded = 0;
  core.Open(console, {.LogfileCure = {}, .OnClosed = {}, .OnReloaded = [&] { ++reloaded; }});
  const uint16_t port = FreeListenPort();
  const uint16_t next = FreeListenPort();
  dir.Write("Config.ini", "[Metrics]\r\nMetrics port=" + std::to_string(port) + "\r\n");
  core.Start();
  EXPECT_EQ(core.Metrics().BoundPort(), port);
  TRawPeer scraper(core.Loop(), port);
  scraper.Send("GET /metrics HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(core.Loop().RunUntil([&] { return scraper.Eof(); }, std::chrono::seconds(10)));
  EXPECT_NE(scraper.Received().find("\nkelvox_users 0\n"), std::string::npos) << scraper.Received();

  ASSERT_EQ(core.Rules().Set("Metrics port", std::to_string(next)), TConfigurationDialog::TSetResult::Done);
  EXPECT_EQ(core.Metrics().BoundPort(), port);
  ASSERT_TRUE(core.Rules().Confirm());
  EXPECT_EQ(core.Metrics().BoundPort(), next);

  dir.Write("Config.ini", "[Metrics]\r\nMetrics port=\r\n");
  raise(SIGHUP);
  ASSERT_TRUE(core.Loop().RunUntil([&] { return reloaded == 1; }, std::chrono::seconds(10)));
  EXPECT_FALSE(core.Metrics().Serving());

  TRawListener taken;
  ASSERT_EQ(core.Rules().Set("Metrics port", taken.PortText()), TConfigurationDialog::TSetResult::Done);
  ASSERT_TRUE(core.Rules().Confirm());
  EXPECT_EQ(console.Errors(), std::vector<std::string>{"Metrics port " + taken.PortText() + " already used."});
  core.Finish();
}

}  // namespace kelvox::test
