// Start, Stop and the close request, with the texts the operator sees.
#include <gtest/gtest.h>

#include "tests/engine/engine_fixture.h"

namespace kelvox::test {
namespace {

using ListenerControlTest = EngineTest;

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
  settings.Port = "6000";
  Start();
  EXPECT_EQ(console.StatusText(0), "Listen on port: 6000");
  EXPECT_EQ(console.StatusText(1), "ONLINE");
  EXPECT_EQ(console.TrayHint(), "Kelvox - ONLINE (0 users)");
  EXPECT_FALSE(console.StartEnabled());
  EXPECT_TRUE(console.StopEnabled());
  EXPECT_NE(bouncer.ListeningSince, 0);
  settings.Port = "1";
  bouncer.Button1Click();
  EXPECT_EQ(transport.Listener().BoundPort(), 6000);
  EXPECT_EQ(console.StatusText(0), "Listen on port: 6000");
}

TEST_F(ListenerControlTest, FailedStartStaysOfflineAndNamesTheCause) {
  settings.Port = "6000";
  transport.RecordingListener().FailListen = ESocketException(TSocketStep::kListenBind, WSAEADDRINUSE);
  bouncer.Button1Click();
  EXPECT_FALSE(bouncer.Listening());
  EXPECT_EQ(console.StatusText(0), "Port 6000 already used.");
  EXPECT_EQ(console.StatusText(1), "OFFLINE");
  EXPECT_EQ(console.TrayHint(), "Kelvox - OFFLINE");
  EXPECT_TRUE(console.StartEnabled());
  EXPECT_FALSE(console.StopEnabled());

  settings.Port = "7000:1";
  transport.RecordingListener().FailListen =
      ESocketException(TSocketStep::kPortText, WSAEINVAL).Within(TSocketCall::kListen);
  bouncer.Button1Click();
  EXPECT_EQ(console.StatusText(0), "Port 7000:1: listen: WSocketResolvePort: Invalid Port.");
  transport.RecordingListener().FailListen = ESocketException(TSocketStep::kListenBind, WSAEACCES);
  bouncer.Button1Click();
  EXPECT_EQ(console.StatusText(0), "Port 7000:1: Permission denied");
  settings.Port = "80";
  bouncer.Button1Click();
  EXPECT_EQ(console.StatusText(0), "Port 80: Permission denied. Ports below 1024 need root: config set Port "
                                   "5050, config ok, then start");
}

// The TLS port opens after the plain one, with the certificate named in the
// settings; what fails there leaves the plain port open and says why.
TEST_F(ListenerControlTest, TheTlsPortOpensWithItsCertificateOrSaysWhyNot) {
  settings.Port = "6000";
  settings.SslPort = "6697";
  bouncer.Button1Click();
  EXPECT_TRUE(bouncer.Listening());
  EXPECT_FALSE(bouncer.ListeningTls());
  EXPECT_EQ(console.StatusText(0).rfind("Listen on port: 6000, TLS port 6697: ", 0), 0u) << console.StatusText(0);
  bouncer.Button3Click();

  std::string error;
  ASSERT_TRUE(MakeSelfSignedCertificate(dir.File("kelvox.pem"), dir.File("kelvox.key"), "localhost", error)) << error;
  bouncer.Button1Click();
  EXPECT_TRUE(bouncer.ListeningTls());
  EXPECT_NE(transport.RecordingTlsListener().Context, nullptr);
  EXPECT_EQ(console.StatusText(0), "Listen on port: 6000, TLS port: 6697");
  bouncer.Button3Click();
  EXPECT_FALSE(bouncer.ListeningTls());
}

TEST_F(ListenerControlTest, StopTellsEveryUserAndEmptiesTheGrid) {
  Start();
  TRecordingPeer& first = GreetedUser();
  TRecordingPeer& second = GreetedUser();
  TRecordingPeer& server = LinkUser(second, "joe");
  bouncer.Button3Click();
  EXPECT_EQ(console.TrayHint(), "Kelvox - OFFLINE");
  EXPECT_EQ(bouncer.UserCount(), 2);  // departures come later, one event each
  Settle();
  EXPECT_EQ(first.Take(), Notice("   Disconnection - Bouncer is down.\r\n"));
  EXPECT_EQ(second.Take(), Notice("   Disconnection - Bouncer is down.\r\n", "joe"));
  EXPECT_EQ(first.State(), wsClosed);
  EXPECT_EQ(second.State(), wsClosed);
  EXPECT_EQ(server.State(), wsClosed);
  EXPECT_EQ(bouncer.UserCount(), 0);
  EXPECT_EQ(console.RowCount(), 2);
  EXPECT_EQ(console.TrayHint(), "Kelvox - ONLINE (0 users)");
  EXPECT_EQ(console.StatusText(1), "OFFLINE");
  EXPECT_TRUE(console.StartEnabled());
}

TEST_F(ListenerControlTest, CloseRequestAsksOnlyWithUsersAndBeforeDie) {
  int asked = 0;
  bool answer = false;
  console.AskHandler = [&](const std::string& text, const std::string& caption) {
    ++asked;
    EXPECT_EQ(caption + ": " + text, "Confirm: Are you sure you want to exit Kelvox ? Some users are connected.");
    return answer;
  };
  bool closed = false;
  bouncer.OnClose = [&] { closed = true; };
  EXPECT_TRUE(bouncer.Quitter1Click());  // nobody there: no question
  EXPECT_EQ(asked, 0);
  closed = false;
  Start();
  TRecordingPeer& user = GreetedUser();
  EXPECT_FALSE(bouncer.Quitter1Click());
  EXPECT_EQ(asked, 1);
  EXPECT_FALSE(closed);
  Settle();
  EXPECT_EQ(bouncer.UserCount(), 1);
  answer = true;
  EXPECT_TRUE(bouncer.Quitter1Click());
  EXPECT_TRUE(closed);
  Settle();
  EXPECT_EQ(user.Take(), Notice("   Disconnection - Bouncer is down.\r\n"));

  Start();
  GreetedUser();
  bouncer.ExitWithoutConfirm = true;
  EXPECT_TRUE(bouncer.Quitter1Click());
  EXPECT_EQ(asked, 2);
}

TEST_F(ListenerControlTest, MinimiseHidesTheWindowAfterTheFirstShowing) {
  settings.Minimise = true;
  settings.AutoStart = true;
  TConsoleModel second_console(loop);
  TRecordingTransport second_transport(loop);
  TBouncer second(loop, settings, second_console, second_transport);
  second.FormShow();
  EXPECT_TRUE(second.Listening());
  EXPECT_TRUE(second_console.MainWindowVisible());
  ASSERT_TRUE(loop.RunUntil([&] { return !second_console.MainWindowVisible(); }, std::chrono::seconds(10)));
}

// [Network] Listen address: stored, read again, and handed to both listeners
// at the start.
TEST_F(ListenerControlTest, TheListenAddressIsStoredAndGivenToTheListeners) {
  settings.ListenAddress = "::1";
  ASSERT_FALSE(settings.SaveConfig());
  EXPECT_NE(dir.Read("Config.ini").find("[Network]\r\nListen address=::1\r\n"), std::string::npos);
  settings.ListenAddress.clear();
  ASSERT_FALSE(settings.LoadConfig());
  EXPECT_EQ(settings.ListenAddress, "::1");
  Start();
  EXPECT_EQ(transport.RecordingListener().Address, "::1");
}

}  // namespace
}  // namespace kelvox::test
