// Start, Stop and the close request, with the texts the operator sees.
#include <gtest/gtest.h>

#include "tests/engine/bouncer_fixture.h"

namespace kelvox::test {
namespace {

using ListenerControlTest = BouncerTest;

TEST_F(ListenerControlTest, FirstShowingWritesTheHeadersOnce) {
  EXPECT_EQ(console.GetCell(0, 0), "Identification");
  EXPECT_EQ(console.GetCell(4, 0), "Tag");
  const TDateTime since = bouncer.RunningSince;
  console.SetCell(0, 0, "changed");
  bouncer.FormShow();
  EXPECT_EQ(console.GetCell(0, 0), "changed");
  EXPECT_EQ(bouncer.RunningSince, since);
  EXPECT_EQ(bouncer.ListeningSince, 0);
}

TEST_F(ListenerControlTest, StartGoesOnlineAndStartAgainDoesNothing) {
  Start();
  EXPECT_EQ(console.StatusText(0), "Listen on port: 0");
  EXPECT_EQ(console.StatusText(1), "ONLINE");
  EXPECT_EQ(console.TrayHint(), "Kelvox - ONLINE (0 users)");
  EXPECT_FALSE(console.StartEnabled());
  EXPECT_TRUE(console.StopEnabled());
  EXPECT_NE(bouncer.ListeningSince, 0);
  settings.Port = "1";
  bouncer.Button1Click();
  EXPECT_EQ(bouncer.Server.BoundPort(), port);
  EXPECT_EQ(console.StatusText(0), "Listen on port: 0");
}

TEST_F(ListenerControlTest, StartOnABusyPortStaysOffline) {
  TRawListener holder;
  settings.Port = holder.PortText();
  bouncer.Button1Click();
  EXPECT_EQ(bouncer.Server.State(), wsClosed);
  EXPECT_EQ(console.StatusText(0), "Port " + holder.PortText() + " already used.");
  EXPECT_EQ(console.StatusText(1), "OFFLINE");
  EXPECT_EQ(console.TrayHint(), "Kelvox - OFFLINE");
  EXPECT_TRUE(console.StartEnabled());
  EXPECT_FALSE(console.StopEnabled());
}

TEST_F(ListenerControlTest, StartWithAPortThatIsNoPortNamesTheCause) {
  settings.Port = "7000:1";
  bouncer.Button1Click();
  EXPECT_EQ(console.StatusText(0), "Port 7000:1: listen: WSocketResolvePort: Invalid Port.");
  EXPECT_EQ(bouncer.Server.State(), wsClosed);
}

TEST_F(ListenerControlTest, StopTellsEveryUserAndEmptiesTheGrid) {
  Start();
  for (int i = 0; i < 3; ++i) Connect();
  bouncer.Button3Click();
  EXPECT_EQ(console.TrayHint(), "Kelvox - OFFLINE");
  EXPECT_EQ(bouncer.UserCount(), 3);  // departures come later, one event each
  WaitUsers(0);
  for (auto& peer : peers) {
    WaitClosed(*peer);
    EXPECT_EQ(peer->Received(), Greeting() + Notice("   Disconnection - Bouncer is down.\r\n"));
  }
  EXPECT_EQ(console.RowCount(), 2);
  EXPECT_EQ(console.TrayHint(), "Kelvox - ONLINE (0 users)");
  EXPECT_EQ(console.StatusText(1), "OFFLINE");
  EXPECT_TRUE(console.StartEnabled());
}

TEST_F(ListenerControlTest, CloseRequestWithUsersAsksAndCancelKeepsThem) {
  Start();
  Connect();
  Connect();
  std::string asked;
  console.AskHandler = [&](const std::string& text, const std::string& caption) {
    asked = caption + ": " + text;
    return false;
  };
  bool closed = false;
  bouncer.OnClose = [&] { closed = true; };
  EXPECT_FALSE(bouncer.Quitter1Click());
  EXPECT_EQ(asked, "Confirm: Are you sure you want to exit Kelvox ? Some users are connected.");
  EXPECT_FALSE(closed);
  EXPECT_EQ(bouncer.Server.State(), wsListening);
  loop.RunUntilIdle();
  EXPECT_EQ(bouncer.UserCount(), 2);

  console.AskHandler = [](const std::string&, const std::string&) { return true; };
  EXPECT_TRUE(bouncer.Quitter1Click());
  EXPECT_TRUE(closed);
  for (auto& peer : peers) {
    WaitClosed(*peer);
    EXPECT_EQ(peer->Received(), Greeting() + Notice("   Disconnection - Bouncer is down.\r\n"));
  }
}

TEST_F(ListenerControlTest, CloseRequestWithoutUsersOrAfterDieDoesNotAsk) {
  int asked = 0;
  console.AskHandler = [&](const std::string&, const std::string&) { return ++asked, false; };
  EXPECT_TRUE(bouncer.Quitter1Click());
  Start();
  Connect();
  bouncer.ExitWithoutConfirm = true;
  EXPECT_TRUE(bouncer.Quitter1Click());
  EXPECT_EQ(asked, 0);
}

TEST_F(ListenerControlTest, MinimiseHidesTheWindowAfterTheFirstShowing) {
  settings.Minimise = true;
  settings.AutoStart = true;
  TConsoleModel second_console(loop);
  TBouncer second(loop, settings, second_console);
  second.FormShow();
  EXPECT_EQ(second.Server.State(), wsListening);
  EXPECT_TRUE(second_console.MainWindowVisible());
  ASSERT_TRUE(loop.RunUntil([&] { return !second_console.MainWindowVisible(); }, kWait));
}

}  // namespace
}  // namespace kelvox::test
