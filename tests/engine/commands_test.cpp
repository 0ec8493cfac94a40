// The bouncer's commands, their conditions and every answer, byte for byte.
#include <gtest/gtest.h>

#include <stdlib.h>

#include "tests/engine/engine_fixture.h"

namespace kelvox::test {
namespace {

class CommandsTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    Start();
  }
  TRecordingPeer& AdminUser() {
    TRecordingPeer& user = GreetedUser();
    EXPECT_EQ(Say(user, "ADMIN tolvin\r\n"), kLoggedIn);
    return user;
  }
  const std::string kLoggedIn = Notice("   You are now logged as Administrator.\r\n") +
                                Notice("   Quote /quote help to list your new commands.\r\n");
};

TEST_F(CommandsTest, AdminIgnoresCaseButNotBlanksLogsInOnceAndAllowsThreeTries) {
  TRecordingPeer& user = GreetedUser();
  EXPECT_EQ(Say(user, "admin  tolvin\r\nAdmin TOLVIN\r\nADMIN tolvin\r\n"),
            Notice("   Bad password.\r\n") + kLoggedIn + Notice("   You are already logged as Administrator.\r\n"));

  TRecordingPeer& guesser = GreetedUser();
  EXPECT_EQ(Say(guesser, "ADMIN a\r\nADMIN b\r\nADMIN c\r\nADMIN tolvin\r\n"),
            Notice("   Bad password.\r\n") + Notice("   Bad password.\r\n") + Notice("   Bad password.\r\n"));
  EXPECT_EQ(guesser.State(), wsClosed);

  settings.AdminPassword.clear();  // an empty one lets nobody in
  EXPECT_EQ(Say(GreetedUser(), "ADMIN\r\nADMIN \r\n"), Notice("   Bad password.\r\n") + Notice("   Bad password.\r\n"));
}

TEST_F(CommandsTest, HelpForUsersAndAdministrators) {
  const std::string user_lines = Notice("       CONN <server>[:<port>]   | Connect to IRC server.\r\n") +
                                 Notice("       ADMIN <Password>         | Login as administrator.\r\n");
  const std::string tail = Notice("\r\n") + Notice("       eg: /quote CONN irc.example.net:6667\r\n");
  TRecordingPeer& user = GreetedUser();
  EXPECT_EQ(Say(user, "HELP\r\n"), user_lines + Notice("       TIMEUP                   | Bouncer uptime.\r\n") +
                                       Notice("       TIME                     | Bouncer time.\r\n") +
                                       Notice("       WHOISON                  | List current connections on Bouncer.\r\n") +
                                       Notice("       IPLIST                   | List available IPs.\r\n") + tail);
  settings.TimeUp = settings.Time = settings.WhoisOn = settings.IpList = false;
  EXPECT_EQ(Say(user, "help\r\nhelp me\r\n"), user_lines + tail);
  EXPECT_EQ(Record(0).Pending, "help me\r\n");

  const std::string admin_lines = Notice("       KILL <tag>               | Disconnect user, use WhoIsOn to get tag.\r\n") +
                                  Notice("       DIE                      | Stop server.\r\n");
  TRecordingPeer& admin = AdminUser();
  EXPECT_EQ(Say(admin, "Help\r\n"), admin_lines + user_lines + tail);
  // Each line follows its own command's setting, in HELP's order.
  settings.Time = settings.IpList = true;
  EXPECT_EQ(Say(admin, "HELP\r\n"), admin_lines + user_lines +
                                         Notice("       TIME                     | Bouncer time.\r\n") +
                                         Notice("       IPLIST                   | List available IPs.\r\n") + tail);
}

TEST_F(CommandsTest, KillNeedsAnAdministratorAndAGoodTag) {
  TRecordingPeer& first = GreetedUser();
  EXPECT_EQ(Say(first, "KILL 2\r\n"), "");
  EXPECT_EQ(Record(0).Pending, "KILL 2\r\n");  // no command: held

  TRecordingPeer& victim = GreetedUser();
  TRecordingPeer& admin = AdminUser();
  EXPECT_EQ(Say(admin, "KILL 3\r\nKILL 9\r\nKILL\r\nKILL 0\r\nKILL 2x\r\n"),
            Notice("   You cant kill yourself !\r\n") + Notice("   Invalid Tag.\r\n") + Notice("   Invalid Tag.\r\n") +
                Notice("   Invalid Tag.\r\n") + Notice("   Invalid Tag.\r\n"));
  EXPECT_EQ(Say(admin, "KILL  2 \r\n"), Notice("   Done.\r\n"));
  EXPECT_EQ(victim.Take(), Notice("   You were kicked by the administrator.\r\n"));
  EXPECT_EQ(victim.State(), wsClosed);
}

TEST_F(CommandsTest, DieStopsTheBouncerForEveryone) {
  bool closed = false;
  bouncer.OnClose = [&] { closed = true; };
  TRecordingPeer& other = GreetedUser();
  TRecordingPeer& admin = AdminUser();
  EXPECT_EQ(Say(admin, "DIE\r\n"), Notice("   Disconnection - Bouncer is down.\r\n"));
  EXPECT_EQ(other.Take(), Notice("   Disconnection - Bouncer is down.\r\n"));
  EXPECT_TRUE(closed);
  EXPECT_FALSE(bouncer.Listening());
  EXPECT_EQ(bouncer.UserCount(), 0);
}

TEST_F(CommandsTest, IpListAndIpSelection) {
  TRecordingPeer& user = GreetedUser();
  const std::string hint = Notice("\r\n") + Notice("   Use /quote IP <ip>  or  /quote IP #<Tag_ip> to select ip.\r\n");
  EXPECT_EQ(Say(user, "IPLIST\r\n"), Notice("   Available IPs :\r\n") + Notice("       Default ip\r\n") + hint);
  settings.SelectableIps = {"Default ip", "127.0.0.1", "10.0.0.*"};
  EXPECT_EQ(Say(user, "iplist\r\n"), Notice("   Available IPs :\r\n") + Notice("       #1   127.0.0.1\r\n") +
                                         Notice("       #2   10.0.0.*\r\n") + hint);

  const std::string invalid = Notice("   Invalid Ip.\r\n") + Notice("   Use /quote IPLIST to list available IPs.\r\n");
  EXPECT_EQ(Say(user, "IP #0\r\nIP #3\r\nIP #x\r\nIP #2\r\nIP 10.0.0.300\r\n"),
            invalid + invalid + invalid + invalid + invalid);
  EXPECT_EQ(Say(user, "IP 192.0.2.9\r\n"),
            Notice("   Ip 192.0.2.9 unavailable.\r\n") + Notice("   Use /quote IPLIST to list available IPs.\r\n"));
  EXPECT_EQ(Say(user, "IP 10.0.0.7\r\nIP #1\r\n"),
            Notice("   Ip 10.0.0.7 selected.\r\n") + Notice("   Ip 127.0.0.1 selected.\r\n"));
  EXPECT_EQ(Record(0).LocalIp, "127.0.0.1");
  // The link is opened from the address chosen.
  Say(user, "CONN 192.0.2.10\r\n");
  EXPECT_EQ(transport.Link(0).ConnectedTo(), "127.0.0.1>192.0.2.10:6667");
}

TEST_F(CommandsTest, SettingsSwitchCommandsOff) {
  settings.TimeUp = settings.IpList = settings.Ip = settings.Time = settings.WhoisOn = false;
  EXPECT_EQ(Say(GreetedUser(), "TIMEUP\r\nIPLIST\r\nIP 127.0.0.1\r\nTIME\r\nWHOISON\r\n"), "");
  EXPECT_EQ(Record(0).Pending, "TIMEUP\r\nIPLIST\r\nIP 127.0.0.1\r\nTIME\r\nWHOISON\r\n");
}

TEST_F(CommandsTest, TimesAreDatesAndTimesOfTheLocale) {
  setenv("LC_ALL", "C", 1);
  const std::string got = Say(GreetedUser(), "TIME\r\nTIMEUP\r\n");
  // "   dd/mm/yyyy hh:mm:ss" and the three TIMEUP lines.
  EXPECT_NE(got.find(Notice("   " + DateTimeText(bouncer.RunningSince).substr(0, 10))), std::string::npos) << got;
  EXPECT_NE(got.find(Notice("   Time :")), std::string::npos);
  EXPECT_NE(got.find(Notice("     - Software running since " + DateTimeText(bouncer.RunningSince) + "\r\n")),
            std::string::npos);
  EXPECT_NE(got.find(Notice("     - Bouncer listening since " + DateTimeText(bouncer.ListeningSince) + "\r\n")),
            std::string::npos);
}

TEST_F(CommandsTest, WhoisOnListsTheHighestTagFirstWithTheDateOfEachConnection) {
  TRecordingPeer& first = GreetedUser("127.0.0.1");
  Say(first, "NICK ann\r\n");
  GreetedUser();
  LinkUser(GreetedUser(), "cid");
  const auto since = [&](int slot) { return DateTimeText(Record(slot).ConnectTime); };
  EXPECT_NE(since(0).substr(6, 4), "1899");
  EXPECT_EQ(Say(first, "WHOISON\r\n"),
            Notice("   There are 3 connected users:\r\n", "ann") +
                Notice("   #3 - cid@10.0.0.1 (192.0.2.10:6667) - " + since(2) + "\r\n", "ann") +
                Notice("   #2 -  - " + since(1) + "\r\n", "ann") +
                Notice(std::string("   #1 - ann@") + kMachine + " - " + since(0) + "\r\n", "ann"));
}

// IPv6 source addresses: listed, chosen (taken in compressed form), and with
// one chosen a name's addresses of that family are the ones tried.
TEST_F(CommandsTest, IpTakesIpv6SourceAddresses) {
  TRecordingPeer& user = GreetedUser();
  settings.SelectableIps = {"Default ip", "2001:db8::*", "::1"};
  EXPECT_EQ(Say(user, "IPLIST\r\n"), Notice("   Available IPs :\r\n") + Notice("       #1   2001:db8::*\r\n") +
                                         Notice("       #2   ::1\r\n") + Notice("\r\n") +
                                         Notice("   Use /quote IP <ip>  or  /quote IP #<Tag_ip> to select ip.\r\n"));
  EXPECT_EQ(Say(user, "IP 2001:DB8:0::7\r\nIP 2001:db9::7\r\nIP 2001:db8::zz\r\n"),
            Notice("   Ip 2001:db8::7 selected.\r\n") + Notice("   Ip 2001:db9::7 unavailable.\r\n") +
                Notice("   Use /quote IPLIST to list available IPs.\r\n") + Notice("   Invalid Ip.\r\n") +
                Notice("   Use /quote IPLIST to list available IPs.\r\n"));
  EXPECT_EQ(Record(0).LocalIp, "2001:db8::7");
  Say(user, "CONN irc.example.net\r\n");
  transport.ResolveAll("irc.example.net", {"192.0.2.1", "2001:db8::1", "2001:db8::2"});
  Settle();
  EXPECT_EQ(transport.Link(0).ConnectedTo(), "2001:db8::7>2001:db8::1:6667");
}

}  // namespace
}  // namespace kelvox::test
