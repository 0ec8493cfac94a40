#include "access/address_checks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "net/resolve.h"
#include "net/wsocket_errors.h"

namespace kelvox {
namespace {

// The machine is given the name "10.1.2.3", which resolves to itself, so its own
// address differs from the loopback one whatever the test machine is called.
// Names are looked up in a table of the test's, at once unless it holds them back.
class AddressChecksTest : public ::testing::Test {
 protected:
  AddressChecksTest() {
    checks.MachineName = [this] { return machine_name; };
    checks.Resolve = [this](const std::string& name, TAddressChecks::TAnswer done) {
      asked.push_back(name);
      if (hold_back) return held.push_back([this, name, done] { done(hosts[name]); });
      done(hosts[name]);
    };
    checks.RefreshLocalIp();
  }

  std::string machine_name = "10.1.2.3";
  std::map<std::string, std::string> hosts{{"localhost", "127.0.0.1"}, {"irc.example.net", "192.0.2.5"}};
  std::vector<std::string> asked;
  bool hold_back = false;
  std::vector<std::function<void()>> held;
  TAddressChecks checks;
  TEntries ban, access, destination, ips{"Default ip"};
};

TEST_F(AddressChecksTest, TheMachinesAddressIsLookedUpAtStartAndReload) {
  EXPECT_EQ(checks.GetLocalIp(), "10.1.2.3");
  machine_name = "localhost";
  EXPECT_EQ(checks.GetLocalIp(), "10.1.2.3");
  checks.RefreshLocalIp();
  EXPECT_EQ(checks.GetLocalIp(), "127.0.0.1");
  machine_name = "";
  checks.RefreshLocalIp();
  EXPECT_EQ(checks.GetLocalIp(), "");
  TAddressChecks fresh;  // before any answer the loopback address stands for itself
  EXPECT_EQ(fresh.ConvertLocalIp("127.0.0.1"), "127.0.0.1");
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

// The lists' host names are looked up when the lists are refreshed; the checks
// then use the answers and look nothing up. A name first met in a check is
// looked up once, for the checks after it.
TEST_F(AddressChecksTest, ChecksLookNothingUpOnceTheListsAreRefreshed) {
  hold_back = true;
  ban = {"irc.example.net", "10.0.0.*"};
  access = {"localhost"};
  checks.Refresh({&ban, &access});
  EXPECT_EQ(asked, (std::vector<std::string>{"irc.example.net", "localhost"}));
  EXPECT_FALSE(checks.InMaskList(ban, "192.0.2.5"));  // not answered yet: a mask of its own text
  for (auto& answer : held) answer();
  held.clear();
  asked.clear();
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(checks.InMaskList(ban, "192.0.2.5"));
    EXPECT_TRUE(checks.InMaskList(access, "127.0.0.1"));
  }
  EXPECT_TRUE(asked.empty());
  destination = {"new.example.net"};
  checks.InServerList(destination, "192.0.2.9");
  checks.InServerList(destination, "192.0.2.9");
  EXPECT_EQ(asked, std::vector<std::string>{"new.example.net"});
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
  // localhost now converts to another own address: the entry follows.
  machine_name = "10.9.9.9";
  checks.RefreshLocalIp();
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

// The server's address comes converted from its lookup ("localhost" and
// "127.0.0.1" as 10.1.2.3); entries are compared to it exactly.
TEST_F(AddressChecksTest, DestinationListComparesExactTexts) {
  destination = {"127.0.0.1"};
  // The dotted entry is not converted.
  EXPECT_FALSE(checks.InServerList(destination, "10.1.2.3"));
  destination = {"localhost"};
  EXPECT_TRUE(checks.InServerList(destination, "10.1.2.3"));
  destination = {"10.1.2.3"};
  EXPECT_TRUE(checks.InServerList(destination, "10.1.2.3"));
  destination = {"10.1.2.*", "10.1.2.3 "};
  EXPECT_FALSE(checks.InServerList(destination, "10.1.2.3"));
  // A server without an address is compared by its name.
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

TEST(LoadIp, ListsTheMachinesAddresses) {
  const std::vector<std::string> available = LoadIp();
  ASSERT_FALSE(available.empty());
  bool v6 = false;
  for (const std::string& address : available) {
    TIpAddress ip;
    const bool literal = TIpAddress::ParseV6(address, ip) && ip.Text() == address;
    EXPECT_TRUE(v6 ? literal : WSocketIsDottedQuad(address) || literal) << address;  // IPv4 first
    v6 = v6 || literal;
  }
  EXPECT_NE(std::find(available.begin(), available.end(), "127.0.0.1"), available.end());
}

// IPv6 entries: literals in any of their forms and letter cases, masks over the
// compressed text; ::1 stands for the machine as 127.0.0.1 does; nothing with
// a colon is looked up.
TEST_F(AddressChecksTest, Ipv6AddressesAndMasks) {
  EXPECT_EQ(checks.ResolveAddress("2001:DB8:0:0::1"), "2001:db8::1");
  EXPECT_EQ(checks.ConvertLocalIp("::1"), "10.1.2.3");
  EXPECT_EQ(checks.ResolveAddress("::1"), "10.1.2.3");
  ban = {"2001:DB8::*", "fe80:0:0::7"};
  EXPECT_TRUE(checks.InMaskList(ban, "2001:db8::1"));
  EXPECT_TRUE(checks.InMaskList(ban, "fe80::7"));
  EXPECT_FALSE(checks.InMaskList(ban, "2001:db9::1"));
  EXPECT_FALSE(checks.InMaskList(ban, "192.0.2.1"));
  destination = {"2001:DB8::0:1"};
  EXPECT_TRUE(checks.InServerList(destination, "2001:db8::1"));
  EXPECT_FALSE(checks.InServerList(destination, "2001:db8::2"));
  ips = {"2001:db8::*"};
  EXPECT_TRUE(checks.InIpList(ips, " 2001:db8::9 "));
  EXPECT_TRUE(asked.empty() || std::none_of(asked.begin(), asked.end(), [](const std::string& name) {
                return name.find(':') != std::string::npos;
              }));

  machine_name = "2001:db8::9";  // a machine known by its IPv6 address
  checks.RefreshLocalIp();
  EXPECT_EQ(checks.ConvertLocalIp("127.0.0.1"), "2001:db8::9");
}

}  // namespace
}  // namespace kelvox
