// The bouncer's commands, their conditions and every answer, byte for byte.
#include <gtest/gtest.h>

#include "tests/engine/bouncer_fixture.h"

namespace kelvox::test {
namespace {

class CommandsTest : public BouncerTest {
 protected:
  TRawPeer& AdminUser() {
    TRawPeer& user = GreetedUser();
    user.Send("ADMIN tolvin\r\n");
    ExpectNext(user, Notice("   You are now logged as Administrator.\r\n") +
                         Notice("   Quote /quote help to list your new commands.\r\n"));
    return user;
  }
  // A round trip: every line sent before it has been handled once it returns.
  void Sync(TRawPeer& user) {
    user.Send("PING :sync\r\n");
    ExpectNext(user, "PONG :sync\r\n");
  }
};

TEST_F(CommandsTest, AdminIgnoresCaseButNotBlanksAndLogsInOnce) {
  Start();
  TRawPeer& user = GreetedUser();
  user.Send("admin  tolvin\r\n");
  ExpectNext(user, Notice("   Bad password.\r\n"));
  user.Send("Admin TOLVIN\r\n");
  ExpectNext(user, Notice("   You are now logged as Administrator.\r\n") +
                       Notice("   Quote /quote help to list your new commands.\r\n"));
  user.Send("ADMIN tolvin\r\n");
  ExpectNext(user, Notice("   You are already logged as Administrator.\r\n"));
}

TEST_F(CommandsTest, ThirdWrongAdminPasswordClosesTheConnection) {
  Start();
  TRawPeer& user = GreetedUser();
  user.Send("ADMIN a\r\nADMIN b\r\nADMIN c\r\nADMIN tolvin\r\n");
  WaitClosed(user);
  ExpectNext(user, Notice("   Bad password.\r\n") + Notice("   Bad password.\r\n") + Notice("   Bad password.\r\n"));
  ExpectNothingMore(user);
}

TEST_F(CommandsTest, EmptyAdminPasswordLetsNobodyIn) {
  settings.AdminPassword.clear();
  Start();
  TRawPeer& user = GreetedUser();
  user.Send("ADMIN\r\nADMIN \r\n");
  ExpectNext(user, Notice("   Bad password.\r\n") + Notice("   Bad password.\r\n"));
}

TEST_F(CommandsTest, HelpForUsersAndAdministrators) {
  const std::string user_lines =
      Notice("       CONN <server>[:<port>]   | Connect to IRC server.\r\n") +
      Notice("       ADMIN <Password>         | Login as administrator.\r\n");
  const std::string tail = Notice("\r\n") + Notice("       eg: /quote CONN irc.example.net:6667\r\n");
  Start();
  TRawPeer& user = GreetedUser();
  user.Send("HELP\r\n");
  ExpectNext(user, user_lines + Notice("       TIMEUP                   | Bouncer uptime.\r\n") +
                       Notice("       TIME                     | Bouncer time.\r\n") +
                       Notice("       WHOISON                  | List current connections on Bouncer.\r\n") +
                       Notice("       IPLIST                   | List available IPs.\r\n") + tail);
  settings.TimeUp = settings.Time = settings.WhoisOn = settings.IpList = false;
  user.Send("help\r\nhelp me\r\n");
  ExpectNext(user, user_lines + tail);
  Sync(user);
  EXPECT_EQ(bouncer.Slots[0].Pending, "help me\r\n");

  TRawPeer& admin = AdminUser();
  admin.Send("Help\r\n");
  ExpectNext(admin, Notice("       KILL <tag>               | Disconnect user, use WhoIsOn to get tag.\r\n") +
                        Notice("       DIE                      | Stop server.\r\n") + user_lines + tail);
}

TEST_F(CommandsTest, KillNeedsAnAdministratorAndAGoodTag) {
  Start();
  TRawPeer& first = GreetedUser();
  first.Send("KILL 2\r\n");
  Sync(first);
  EXPECT_EQ(bouncer.Slots[0].Pending, "KILL 2\r\n");  // no answer: held

  TRawPeer& victim = GreetedUser();
  TRawPeer& admin = AdminUser();
  admin.Send("KILL 3\r\nKILL 9\r\nKILL\r\nKILL 0\r\nKILL 2x\r\n");
  ExpectNext(admin, Notice("   You cant kill yourself !\r\n") + Notice("   Invalid Tag.\r\n") +
                        Notice("   Invalid Tag.\r\n") + Notice("   Invalid Tag.\r\n") + Notice("   Invalid Tag.\r\n"));
  admin.Send("KILL  2 \r\n");
  ExpectNext(admin, Notice("   Done.\r\n"));
  WaitClosed(victim);
  ExpectNext(victim, Notice("   You were kicked by the administrator.\r\n"));
}

TEST_F(CommandsTest, DieStopsTheBouncerForEveryone) {
  bool closed = false;
  bouncer.OnClose = [&] { closed = true; };
  Start();
  TRawPeer& other = GreetedUser();
  TRawPeer& admin = AdminUser();
  admin.Send("DIE\r\n");
  WaitClosed(other);
  WaitClosed(admin);
  EXPECT_TRUE(closed);
  ExpectNext(other, Notice("   Disconnection - Bouncer is down.\r\n"));
  ExpectNext(admin, Notice("   Disconnection - Bouncer is down.\r\n"));
  EXPECT_EQ(bouncer.Server.State(), wsClosed);
}

TEST_F(CommandsTest, IpListAndIpSelection) {
  Start();
  TRawPeer& user = GreetedUser();
  const std::string hint = Notice("\r\n") + Notice("   Use /quote IP <ip>  or  /quote IP #<Tag_ip> to select ip.\r\n");
  user.Send("IPLIST\r\n");
  ExpectNext(user, Notice("   Available IPs :\r\n") + Notice("       Default ip\r\n") + hint);

  settings.SelectableIps = {"Default ip", "127.0.0.1", "10.0.0.*"};
  user.Send("iplist\r\n");
  ExpectNext(user, Notice("   Available IPs :\r\n") + Notice("       #1   127.0.0.1\r\n") +
                       Notice("       #2   10.0.0.*\r\n") + hint);

  const std::string invalid = Notice("   Invalid Ip.\r\n") + Notice("   Use /quote IPLIST to list available IPs.\r\n");
  user.Send("IP #0\r\nIP #3\r\nIP #x\r\nIP #2\r\nIP 10.0.0.300\r\n");
  ExpectNext(user, invalid + invalid + invalid + invalid + invalid);
  user.Send("IP 192.0.2.9\r\n");
  ExpectNext(user, Notice("   Ip 192.0.2.9 unavailable.\r\n") + Notice("   Use /quote IPLIST to list available IPs.\r\n"));
  user.Send("IP 10.0.0.7\r\nIP #1\r\n");
  ExpectNext(user, Notice("   Ip 10.0.0.7 selected.\r\n") + Notice("   Ip 127.0.0.1 selected.\r\n"));
  EXPECT_EQ(bouncer.Slots[0].LocalIp, "127.0.0.1");
}

TEST_F(CommandsTest, SettingsSwitchCommandsOff) {
  settings.TimeUp = settings.IpList = settings.Ip = settings.Time = settings.WhoisOn = false;
  Start();
  TRawPeer& user = GreetedUser();
  user.Send("TIMEUP\r\nIPLIST\r\nIP 127.0.0.1\r\nTIME\r\nWHOISON\r\n");
  Sync(user);
  EXPECT_EQ(bouncer.Slots[0].Pending, "TIMEUP\r\nIPLIST\r\nIP 127.0.0.1\r\nTIME\r\nWHOISON\r\n");
}

TEST_F(CommandsTest, TimesAreDatesAndTimesOfTheLocale) {
  setenv("LC_ALL", "C", 1);
  Start();
  TRawPeer& user = GreetedUser();
  user.Send("TIME\r\nTIMEUP\r\n");
  const std::string prefix = Notice("   ");
  loop.RunUntil([&] { return user.Received().find("listening since") != std::string::npos; }, kWait);
  const std::string& got = user.Received();
  // "   dd/mm/yyyy hh:mm:ss" and the three TIMEUP lines.
  EXPECT_NE(got.find(Notice("   " + DateTimeText(bouncer.RunningSince).substr(0, 10))), std::string::npos) << got;
  EXPECT_NE(got.find(Notice("     - Software running since " + DateTimeText(bouncer.RunningSince) + "\r\n")),
            std::string::npos)
      << got;
  EXPECT_NE(got.find(Notice("     - Bouncer listening since " + DateTimeText(bouncer.ListeningSince) + "\r\n")),
            std::string::npos)
      << got;
  EXPECT_NE(got.find(Notice("   Time :")), std::string::npos);
}

TEST_F(CommandsTest, WhoisOnListsTheHighestTagFirstWithTheDateOfEachConnection) {
  TRawListener irc;
  Start();
  TRawPeer& first = GreetedUser();
  first.Send("NICK ann\r\n");
  GreetedUser();
  TRawPeer& third = GreetedUser();
  auto server = LinkUser(third, irc, "cid");
  first.Send("WHOISON\r\n");
  const std::string me = "@" + bouncer.Checks().ConvertLocalIp("127.0.0.1");
  const auto since = [&](int slot) { return DateTimeText(bouncer.ClientOfSlot(slot)->ConnectTime); };
  EXPECT_NE(since(0).substr(6, 4), "1899");
  ExpectNext(first, Notice("   There are 3 connected users:\r\n") +
                        Notice("   #3 - cid" + me + " (127.0.0.1:" + irc.PortText() + ") - " + since(2) + "\r\n") +
                        Notice("   #2 -  - " + since(1) + "\r\n") + Notice("   #1 - ann" + me + " - " + since(0) + "\r\n"));
}

}  // namespace
}  // namespace kelvox::test
