#include "access/address_checks.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "net/resolve.h"
#include "net/wsocket_errors.h"

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
  TAddressChecks checks;
  TEntries ban, access, destination, ips{"Default ip"};
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
  ban = {"127.0.0.1"};
  EXPECT_TRUE(checks.InMaskList(ban, "127.0.0.1"));  // a local user, seen as 10.1.2.3
  EXPECT_TRUE(checks.InMaskList(ban, "10.1.2.3"));
  EXPECT_FALSE(checks.InMaskList(ban, "10.1.2.4"));
  ban = {"10.1.*"};
  EXPECT_TRUE(checks.InMaskList(ban, "127.0.0.1"));
  EXPECT_FALSE(checks.InMaskList(ban, "10.2.0.1"));
}

TEST_F(AddressChecksTest, HostNameEntriesFollowTheirAddress) {
  access = {"localhost"};
  EXPECT_TRUE(checks.InMaskList(access, "10.1.2.3"));
  // localhost now converts to another own address: the entry follows at once.
  machine_name = "10.9.9.9";
  EXPECT_FALSE(checks.InMaskList(access, "10.1.2.3"));
  EXPECT_TRUE(checks.InMaskList(access, "10.9.9.9"));
  // An entry that does not resolve is a mask of its own text.
  access = {"no-such-host.invalid", "*.*.*.*"};
  EXPECT_TRUE(checks.InMaskList(access, "192.0.2.1"));
  access = {"no-such-host.invalid"};
  EXPECT_TRUE(checks.InMaskList(access, "no-such-host.invalid"));
  EXPECT_FALSE(checks.InMaskList(access, "192.0.2.1"));
}

TEST_F(AddressChecksTest, RefusedTextsNeverRaise) {
  ban = {"", std::string(300, 'x'), "10.0.0.*"};
  access = {""};
  destination = {"", "10.0.0.1"};
  EXPECT_TRUE(checks.InMaskList(ban, "10.0.0.7"));
  EXPECT_FALSE(checks.InMaskList(ban, "10.1.0.7"));
  EXPECT_FALSE(checks.InMaskList(ban, ""));
  EXPECT_FALSE(checks.InMaskList(ban, std::string(300, 'x')));
  EXPECT_FALSE(checks.InMaskList(access, "10.0.0.7"));
  EXPECT_TRUE(checks.InServerList(destination, "10.0.0.1"));
  EXPECT_FALSE(checks.InServerList(destination, ""));
}

TEST_F(AddressChecksTest, DestinationListComparesExactTexts) {
  destination = {"127.0.0.1"};
  // The host converts to the machine's address; the dotted entry does not.
  EXPECT_FALSE(checks.InServerList(destination, "localhost"));
  EXPECT_FALSE(checks.InServerList(destination, "127.0.0.1"));
  destination = {"localhost"};
  EXPECT_TRUE(checks.InServerList(destination, "localhost"));
  EXPECT_TRUE(checks.InServerList(destination, "127.0.0.1"));
  destination = {"10.1.2.3"};
  EXPECT_TRUE(checks.InServerList(destination, "localhost"));
  destination = {"10.1.2.*", "10.1.2.3 "};
  EXPECT_FALSE(checks.InServerList(destination, "10.1.2.3"));
  destination = {"IRC.example"};
  EXPECT_FALSE(checks.InServerList(destination, "irc.example"));
  EXPECT_TRUE(checks.InServerList(destination, "IRC.example"));
}

TEST_F(AddressChecksTest, SelectableAddressesAreMasksWithoutLookups) {
  EXPECT_FALSE(checks.InIpList(ips, "10.0.0.7"));  // only "Default ip"
  ips.push_back("10.0.0.*");
  EXPECT_TRUE(checks.InIpList(ips, "10.0.0.7"));
  EXPECT_FALSE(checks.InIpList(ips, "10.0.1.7"));
  ips = {"Default ip", " 192.0.2.5\t"};
  EXPECT_TRUE(checks.InIpList(ips, "192.0.2.5 "));
  ips = {"Default ip", "localhost"};
  EXPECT_FALSE(checks.InIpList(ips, "127.0.0.1"));
  ips = {"Default ip", ""};
  EXPECT_FALSE(checks.InIpList(ips, "10.0.0.7"));
}

TEST(LoadIp, ListsTheMachinesIpv4Addresses) {
  const std::vector<std::string> available = LoadIp();
  ASSERT_FALSE(available.empty());
  for (const std::string& address : available) EXPECT_TRUE(WSocketIsDottedQuad(address)) << address;
  EXPECT_NE(std::find(available.begin(), available.end(), "127.0.0.1"), available.end());
}

}  // namespace
}  // namespace kelvox
