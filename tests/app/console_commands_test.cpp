// The text console's config, update and website commands, on a whole bouncer
// with its settings in a temporary directory and its console printing to a string.
#include "app/console_commands.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <sstream>

#include "config/settings.h"
#include "console/figures.h"
#include "console/settings_rules.h"
#include "console/text_console.h"
#include "console/update_check.h"
#include "engine/bouncer.h"
#include "tests/support/recording_transport.h"
#include "engine/message_dialog.h"
#include "tests/support/http_server.h"
#include "tests/support/temp_dir.h"

namespace kelvox {
namespace {

using Lines = std::vector<std::string>;
using test::kWait;

class ConsoleCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("no_proxy", "127.0.0.1", 1);
    config.FormCreate();
    config.AvailableIps = {"10.0.0.7", "192.168.1.2"};
    commands.ShellOpen = [this](const std::string& target) { opened.push_back(target); };
    out.str("");
  }

  /// Runs the lines as typed and returns what they printed.
  std::string Type(const Lines& lines) {
    out.str("");
    for (const std::string& line : lines) commands.Execute(line);
    return out.str();
  }

  test::TTempDir dir;
  TEventLoop loop;
  std::ostringstream out;
  TTextConsole console{loop, out};
  TSettings settings{dir.Path()};
  test::TRecordingTransport transport{loop};
  TBouncer bouncer{loop, settings, console, transport};
  TMessageDialog dialog{bouncer, console};
  TConfigurationDialog config{settings, console};
  test::THttpServer server{loop};
  TUpdateCheck update{loop, console, server.Url()};
  TFigures figures{bouncer, settings};
  TConsoleCommands commands{bouncer, console, dialog, config, update, figures};
  Lines opened;
};

TEST_F(ConsoleCommandsTest, SetTakesKeysWithBlanksAndValuesAsTyped) {
  const std::string opened_and_set = Type({"config open", "config set admin PASSWORD  two words",
                                           "config set Admin password confirmation  two words",
                                           "config set Port 6000", "config set Max 5", "config ok"});
  // The opening prints the settings first.
  EXPECT_EQ(opened_and_set.substr(0, 22), "Admin password=******\n");
  EXPECT_EQ(opened_and_set.substr(opened_and_set.find("status 0:")),
            "status 0: Listen on port: 6000\n"
            "status 0: New listen port, restart the bouncer.\n");
  EXPECT_EQ(settings.AdminPassword, " two words");
  EXPECT_NE(dir.Read("Config.ini").find("\r\nMax=5\r\n"), std::string::npos);
  EXPECT_EQ(Type({"config set Port"}), "status 0: Undefined listen port.\n");
}

TEST_F(ConsoleCommandsTest, WhatDoesNotFitIsRefusedWithTheReason) {
  EXPECT_EQ(Type({"config", "config frobnicate", "config ok now", "config set", "config set Prot 1",
                  "config set Identification maybe", "config set Acces none", "config set Banlist x",
                  "config add foo x", "config remove"}),
            "error: config needs one of: open, show, set, add, remove, ok, cancel\n"
            "error: no config command frobnicate: open, show, set, add, remove, ok, cancel\n"
            "error: config ok takes no argument\n"
            "error: config set needs a key and a value: config set KEY VALUE\n"
            "error: no setting named Prot (config show lists the keys)\n"
            "error: Identification is yes or no\n"
            "error: Acces is all, only or except\n"
            "error: Banlist is a list: config add ban ENTRY, config remove ban ENTRY\n"
            "error: no list named foo: ban, access, destination, ip\n"
            "error: config remove needs a list and an entry: config remove LIST ENTRY "
            "(lists: ban, access, destination, ip)\n");
  EXPECT_EQ(settings.Identification, false);
  EXPECT_EQ(Type({"config set Password x", "config set Max 100", "config set Linger lines 0",
                  "config set Logfile /tmp/x"}),
            "error: Password cannot be edited now: Identification is off (config set Identification yes)\n"
            "error: Max is too long: at most 2 characters\n"
            "error: Linger lines is a number from 1 to 20000\n"
            "error: Logfile cannot be edited now: Log is off (config set Log yes)\n");
  EXPECT_EQ(Type({"config set Admin password abc", "config ok"}), "error: Check Admin password.\n");
  EXPECT_EQ(settings.AdminPassword, "");
  EXPECT_EQ(Type({"kill", "kill x", "ban x", "message", "message x hello", "message 2", "message all",
                  "start now", "frobnicate now"}),
            "error: kill needs a tag, a number from the grid: kill TAG\n"
            "error: kill needs a tag, a number from the grid: kill TAG\n"
            "error: ban needs a tag, a number from the grid: ban TAG\n"
            "error: message needs a tag, a number from the grid, or all: message TAG TEXT, message all TEXT\n"
            "error: message needs a tag, a number from the grid, or all: message TAG TEXT, message all TEXT\n"
            "error: message needs a text after 2: message 2 TEXT\n"
            "error: message needs a text after all: message all TEXT\n"
            "error: start takes no argument\n"
            "error: unknown command\n");
  EXPECT_FALSE(bouncer.Listening());
}

TEST_F(ConsoleCommandsTest, MessageConfirmsWhatItSent) {
  EXPECT_EQ(Type({"message all anyone?", "message 1 hi"}), "error: no user to send to\nerror: Invalid Tag\n");
  Type({"start"});
  test::TRecordingPeer& joe = transport.Accept("10.0.0.1");
  transport.Accept("10.0.0.2");
  joe.Receive("NICK joe\r\n");
  loop.RunUntilIdle();
  joe.Take();
  EXPECT_EQ(Type({"message 1 Back in 5 minutes", "message 2 hi", "message all bye"}),
            "sent to joe@10.0.0.1 (tag 1): Back in 5 minutes\n"
            "sent to tag 2: hi\n"
            "sent to 2 users: bye\n");
  EXPECT_NE(joe.Take().find("Administrator notice : Back in 5 minutes"), std::string::npos);
  // The help names no function key.
  const std::string help = Type({"help"});
  EXPECT_EQ(help.substr(0, help.find('\n')), "start                       start listening");
  EXPECT_EQ(std::count(help.begin(), help.end(), '\n'), 19);
  EXPECT_TRUE(help.ends_with("\nabout, website, help        about Kelvox, its web site, this list\n")) << help;
  EXPECT_EQ(help.find("(F"), std::string::npos);
}

TEST_F(ConsoleCommandsTest, StatsPrintsOneLinePerFigure) {
  Type({"start"});
  transport.Accept("10.0.0.1");
  loop.RunUntilIdle();
  const std::string stats = Type({"stats"});
  EXPECT_EQ(stats.substr(0, stats.find("stats: lines")), "stats: users 1\nstats: links 0\nstats: users admitted 1\n"
                                                          "stats: links opened 0\n");
  EXPECT_EQ(std::count(stats.begin(), stats.end(), '\n'), 20);
  EXPECT_EQ(Type({"stats now"}), "error: stats takes no argument\n");
}

TEST_F(ConsoleCommandsTest, ListsAreEditedEntryByEntry) {
  EXPECT_EQ(Type({"config add ban  10.0.0.5 ", "config add access 10.0.0.*", "config add destination irc.example.net",
                  "config add ip 192.168.1.2", "config add ip 192.168.1.2", "config add ip 10.*.*.*",
                  "config add ip"}),
            "");
  EXPECT_EQ(Type({"config add ban", "config remove ban 10.0.0.5", "config remove ip Default ip"}),
            "error: config add needs an entry: config add ban ENTRY\n"
            "error: the ban list has no entry \"10.0.0.5\"\n"
            "error: \"Default ip\" is the ip list's first entry, which stays\n");
  EXPECT_EQ(settings.BanList.Entries(), Lines{" 10.0.0.5 "});
  EXPECT_EQ(settings.SelectableIps, (Lines{"Default ip", "192.168.1.2", "10.*.*.*", ""}));
  EXPECT_EQ(Type({"config show"}),
            "Admin password=******\n"
            "Time=yes\nTimeUp=yes\nWhoisOn=yes\nBeep=yes\nCTCP protect=yes\nAutoStart=no\nMinimise=no\n"
            "IpList=yes\nIp=yes\nAutoPong=yes\nLog=no\nWindowsStart=no\nLogDay=no\nMax=10\nPort=50\nLogfile=\n"
            "Identification=no\nPassword=\nAcces=all\ndestination=all\n"
            "SSL Port=\nSSL Certificate=kelvox.pem\nSSL Key=kelvox.key\nListen address=\n"
            "Linger minutes=0\nLinger lines=2000\nMetrics port=\n"
            "Admin password confirmation=******\nPassword confirmation=\n"
            "ban list:  10.0.0.5 \n"
            "access list: 10.0.0.*\n"
            "destination list: irc.example.net\n"
            "ip list: Default ip\nip list: 192.168.1.2\nip list: 10.*.*.*\nip list: \n"
            "available ip: 10.0.0.7\navailable ip: 192.168.1.2\n"
            "welcome: Enter /quote HELP to get list of available commands.\n"
            "welcome: Use /quote CONN <Server>[:<Port>]  to connect.\n");
  Type({"config remove ban  10.0.0.5 ", "config remove ip 10.*.*.*", "config remove access 10.0.0.*"});
  EXPECT_TRUE(settings.BanList.Empty());
  EXPECT_TRUE(settings.AccessList.Empty());
  EXPECT_EQ(settings.SelectableIps, (Lines{"Default ip", "192.168.1.2", ""}));
  // Nothing was saved; cancelling leaves it so, and opening again reloads.
  EXPECT_EQ(Type({"config add ban 1.2.3.4", "config cancel"}), "");
  EXPECT_EQ(dir.Read("Banlist.conf"), "");
  Type({"config open"});
  EXPECT_TRUE(settings.BanList.Empty());
}

TEST_F(ConsoleCommandsTest, UpdateChecksInTheBackground) {
  server.Responder = [](const std::string&, std::size_t) {
    return test::THttpServer::Response(200, "OK", "version=2.7;");
  };
  EXPECT_EQ(Type({"update"}), "update: Searching...\n");
  ASSERT_TRUE(loop.RunUntil([&] { return console.UpdateText() != "Searching..."; }, kWait));
  EXPECT_EQ(out.str(),
            "update: Searching...\n"
            "update: New version available\n"
            "update: http://www.kelvox.net/\n"
            "beep\n");
  EXPECT_EQ(Type({"update now"}), "error: update takes no argument\n");
}

TEST_F(ConsoleCommandsTest, WebsitePrintsAndOpensTheAddress) {
  EXPECT_EQ(Type({"website"}), "http://www.kelvox.net/\n");
  EXPECT_EQ(opened, Lines{"http://www.kelvox.net/"});
  EXPECT_EQ(Type({"website please"}), "error: website takes no argument\n");
}

TEST_F(ConsoleCommandsTest, TrailingBlanksAfterACommandAreNoArgument) {
  EXPECT_EQ(Type({"kill 1 ", "ban 1\t"}), "");
  EXPECT_EQ(Type({"kill 1 x"}), "error: kill needs a tag, a number from the grid: kill TAG\n");
  EXPECT_NE(Type({"status  "}).find("status 1: OFFLINE\n"), std::string::npos);
}

}  // namespace
}  // namespace kelvox
