#include "access/address_checks.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "config/settings.h"
#include "console/console_model.h"
#include "net/event_loop.h"
#include "net/resolve.h"
#include "net/wsocket_errors.h"
#include "tests/support/temp_dir.h"

namespace kelvox {
namespace {

// The machine is given the name "10.1.2.3", which resolves to itself, so its own
// address differs from the loopback one whatever the test machine is called.
class AddressChecksTest : public ::testing::Test {
 protected:
  AddressChecksTest() {
    checks.MachineName = [this] { return machine_name; };
  }

  std::string machine_name = "10.1.2.3";
  TSettings settings{"/nonexistent/"};
  TAddressChecks checks{settings};
};

TEST_F(AddressChecksTest, LocalAddressIsLookedUpAtEachCall) {
  EXPECT_EQ(checks.GetLocalIp(), "10.1.2.3");
  machine_name = "localhost";
  EXPECT_EQ(checks.GetLocalIp(), "127.0.0.1");
  machine_name = "";
  EXPECT_EQ(checks.GetLocalIp(), "");
}

TEST_F(AddressChecksTest, OnlyTheExactLoopbackTextIsConverted) {
  EXPECT_EQ(checks.ConvertLocalIp("127.0.0.1"), "10.1.2.3");
  EXPECT_EQ(checks.ConvertLocalIp(" 127.0.0.1"), " 127.0.0.1");
  EXPECT_EQ(checks.ConvertLocalIp("127.0.0.2"), "127.0.0.2");
  EXPECT_EQ(checks.ConvertLocalIp("localhost"), "localhost");
}

TEST_F(AddressChecksTest, ResolvesNamesAndLeavesTheRest) {
  const struct {
    std::string name;
    std::string result;
  } rows[] = {
      {"127.0.0.1", "10.1.2.3"},
      {"localhost", "10.1.2.3"},
      {" localhost\t", "10.1.2.3"},
      {"010.0.0.1", "010.0.0.1"},
      {"192.168.1.1 ", "192.168.1.1 "},
      {"192.168.*", "192.168.*"},
      {"*", "*"},
      {"no-such-host.invalid", "no-such-host.invalid"},
      {std::string(256, 'a'), std::string(256, 'a')},
  };
  for (const auto& row : rows) EXPECT_EQ(checks.ResolveAddress(row.name), row.result) << row.name;
}

TEST_F(AddressChecksTest, RefusesEmptyAndOverlongNames) {
  const std::string overlong(257, 'a');
  for (const std::string& name : {std::string(), overlong}) {
    try {
      checks.ResolveAddress(name);
      ADD_FAILURE() << "no exception for '" << name << "'";
    } catch (const ESocketException& e) {
      EXPECT_EQ(std::string(e.what()), "WSocketResolveHost: '" + name + "' Invalid Hostname.");
    }
  }
}

TEST_F(AddressChecksTest, BanListComparesConvertedAddresses) {
  settings.BanList.Assign({"127.0.0.1"});
  EXPECT_TRUE(checks.InBanList("127.0.0.1"));  // a local user, seen as 10.1.2.3
  EXPECT_TRUE(checks.InBanList("10.1.2.3"));
  EXPECT_FALSE(checks.InBanList("10.1.2.4"));
  settings.BanList.Assign({"10.1.*"});
  EXPECT_TRUE(checks.InBanList("127.0.0.1"));
  EXPECT_FALSE(checks.InBanList("10.2.0.1"));
}

TEST_F(AddressChecksTest, HostNameEntriesFollowTheirAddress) {
  settings.AccessList.Assign({"localhost"});
  EXPECT_TRUE(checks.InAccessList("10.1.2.3"));
  // localhost now converts to another own address: the entry follows at once.
  machine_name = "10.9.9.9";
  EXPECT_FALSE(checks.InAccessList("10.1.2.3"));
  EXPECT_TRUE(checks.InAccessList("10.9.9.9"));
  // An entry that does not resolve is a mask of its own text.
  settings.AccessList.Assign({"no-such-host.invalid", "*.*.*.*"});
  EXPECT_TRUE(checks.InAccessList("192.0.2.1"));
  settings.AccessList.Assign({"no-such-host.invalid"});
  EXPECT_TRUE(checks.InAccessList("no-such-host.invalid"));
  EXPECT_FALSE(checks.InAccessList("192.0.2.1"));
}

TEST_F(AddressChecksTest, RefusedTextsNeverRaise) {
  settings.BanList.Assign({"", std::string(300, 'x'), "10.0.0.*"});
  settings.AccessList.Assign({""});
  settings.DestinationList.Assign({"", "10.0.0.1"});
  EXPECT_TRUE(checks.InBanList("10.0.0.7"));
  EXPECT_FALSE(checks.InBanList("10.1.0.7"));
  EXPECT_FALSE(checks.InBanList(""));
  EXPECT_FALSE(checks.InBanList(std::string(300, 'x')));
  EXPECT_FALSE(checks.InAccessList("10.0.0.7"));
  EXPECT_TRUE(checks.InServerList("10.0.0.1"));
  EXPECT_FALSE(checks.InServerList(""));
}

TEST_F(AddressChecksTest, DestinationListComparesExactTexts) {
  settings.DestinationList.Assign({"127.0.0.1"});
  // The host converts to the machine's address; the dotted entry does not.
  EXPECT_FALSE(checks.InServerList("localhost"));
  EXPECT_FALSE(checks.InServerList("127.0.0.1"));
  settings.DestinationList.Assign({"localhost"});
  EXPECT_TRUE(checks.InServerList("localhost"));
  EXPECT_TRUE(checks.InServerList("127.0.0.1"));
  settings.DestinationList.Assign({"10.1.2.3"});
  EXPECT_TRUE(checks.InServerList("localhost"));
  settings.DestinationList.Assign({"10.1.2.*", "10.1.2.3 "});
  EXPECT_FALSE(checks.InServerList("10.1.2.3"));
  settings.DestinationList.Assign({"IRC.example"});
  EXPECT_FALSE(checks.InServerList("irc.example"));
  EXPECT_TRUE(checks.InServerList("IRC.example"));
}

TEST_F(AddressChecksTest, SelectableAddressesAreMasksWithoutLookups) {
  EXPECT_FALSE(checks.InIpList("10.0.0.7"));  // only "Default ip"
  settings.SelectableIps.push_back("10.0.0.*");
  EXPECT_TRUE(checks.InIpList("10.0.0.7"));
  EXPECT_FALSE(checks.InIpList("10.0.1.7"));
  settings.SelectableIps = {"Default ip", " 192.0.2.5\t"};
  EXPECT_TRUE(checks.InIpList("192.0.2.5 "));
  settings.SelectableIps = {"Default ip", "localhost"};
  EXPECT_FALSE(checks.InIpList("127.0.0.1"));
  settings.SelectableIps = {"Default ip", ""};
  EXPECT_FALSE(checks.InIpList("10.0.0.7"));
}

TEST(AddressChecksFiles, EmptyLineInAListFileChangesNothing) {
  test::TTempDir dir;
  TEventLoop loop;
  TConsoleModel console(loop);
  TSettings settings(dir.Path());
  TAddressChecks checks(settings);
  checks.MachineName = [] { return std::string("10.1.2.3"); };
  dir.Write("Config.ini", "[Main]\r\n");
  dir.Write("Banlist.conf", "10.0.0.*\r\n\r\nlocalhost\r\n");
  ASSERT_TRUE(settings.LoadConfig(console));
  ASSERT_EQ(settings.BanList.Size(), 3u);
  EXPECT_TRUE(checks.InBanList("10.0.0.9"));
  EXPECT_TRUE(checks.InBanList("127.0.0.1"));
  EXPECT_FALSE(checks.InBanList("192.0.2.1"));
}

TEST(LoadIp, ListsTheMachinesIpv4Addresses) {
  const std::vector<std::string> available = LoadIp();
  ASSERT_FALSE(available.empty());
  for (const std::string& address : available) EXPECT_TRUE(WSocketIsDottedQuad(address)) << address;
  EXPECT_NE(std::find(available.begin(), available.end(), "127.0.0.1"), available.end());
}

}  // namespace
}  // namespace kelvox
