// CONN and the relay: a user linked to an IRC server played by the test.
#include <gtest/gtest.h>

#include "tests/engine/engine_fixture.h"

namespace kelvox::test {
namespace {

class ServerLinkTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    Start();
  }
};

TEST_F(ServerLinkTest, ServerPingsAreAnsweredAndNotRelayed) {
  TRecordingPeer& user = GreetedUser();
  TRecordingPeer& server = LinkUser(user, "joe");
  EXPECT_EQ(Say(server, "PING :123456\r\nping :abc\r\nPING 123456\r\n:srv PING :x\r\n"
                        "@time=2026-12-07T21:49:14.274Z PING :insp.test\r\n:srv NOTICE joe :end\r\n"),
            "PONG :123456\r\nPONG :abc\r\nPONG :PING 123456\r\nPONG :insp.test\r\n");
  EXPECT_EQ(user.Take(), ":srv PING :x\r\n:srv NOTICE joe :end\r\n");
  settings.AutoPong = false;
  EXPECT_EQ(Say(server, "PING :123456\r\n"), "");
  EXPECT_EQ(user.Take(), "PING :123456\r\n");
}

TEST_F(ServerLinkTest, LinesAreFramedAcrossReadsWithoutTheirCrs) {
  TRecordingPeer& user = GreetedUser();
  TRecordingPeer& server = LinkUser(user, "joe");
  Say(server, "PI");
  EXPECT_EQ(Record(0).Link->UnreadText(), "PI");
  EXPECT_EQ(Say(server, "NG :7\r\n:a NOTICE b :c\r\n:x"), "PONG :7\r\n");
  EXPECT_EQ(user.Take(), ":a NOTICE b :c\r\n");
  Say(server, "\r\nabc\rdef\r\n\r\n");
  EXPECT_EQ(user.Take(), ":x\r\nabcdef\r\n\r\n");
  std::string notices;
  for (int i = 0; i < 8; ++i) notices += ":a NOTICE joe :\x01VERSION x\x01\r\n";  // CTCP replies pass
  Say(server, notices);
  EXPECT_EQ(user.Take(), notices);
}

TEST_F(ServerLinkTest, TheEndOfTheLinkEndsTheUserAndTheUsersEndTheLink) {
  settings.Log = true;
  TRecordingPeer& user = GreetedUser();
  TRecordingPeer& server = LinkUser(user, "joe");
  EXPECT_NE(dir.Read("log.txt").find("] joe@10.0.0.1 Connected to 192.0.2.10:6667\r\n"), std::string::npos);
  server.PeerCloses();
  Settle();
  EXPECT_EQ(user.Take(), Notice("   Disconnected from the IRC server.\r\n", "joe"));
  EXPECT_EQ(bouncer.UserCount(), 0);

  TRecordingPeer& leaving = GreetedUser();
  TRecordingPeer& left = LinkUser(leaving, "ann");
  leaving.PeerCloses();
  Settle();
  EXPECT_EQ(left.State(), wsClosed);
  EXPECT_EQ(left.Take(), "");
  EXPECT_EQ(bouncer.UserCount(), 0);

  TRecordingPeer& overlong = GreetedUser();
  Say(LinkUser(overlong, "cid"), std::string(20000, 'x'));
  EXPECT_EQ(overlong.Take(), Notice("   Disconnected from the IRC server.\r\n", "cid"));
}

TEST_F(ServerLinkTest, RefusedAttemptIsNotReportedAsConnected) {
  settings.Log = true;
  TRecordingPeer& user = GreetedUser();
  EXPECT_EQ(Say(user, "NICK joe\r\nCONN 192.0.2.10:6697\r\n"), Notice("   Connecting to server...\r\n", "joe"));
  EXPECT_EQ(console.GetCell(2, 1), "192.0.2.10:6697");
  transport.Link(0).Answer(10061);
  Settle();
  EXPECT_EQ(user.Take(), Notice("   Disconnected from the IRC server.\r\n", "joe"));
  EXPECT_EQ(user.State(), wsClosed);
  EXPECT_EQ(dir.Read("log.txt").find("Connected to 192.0.2.10"), std::string::npos);
}

TEST(ConnTargetTest, HostPortTlsAndPinAreReadFromTheirForms) {
  const auto read = [](const std::string& argument) {
    const TConnTarget target = ParseConnTarget(argument);
    return target.Text() + (target.Fingerprint.empty() ? "" : " fp=" + target.Fingerprint);
  };
  EXPECT_EQ(read(" irc.example.net "), "irc.example.net:6667");
  EXPECT_EQ(read("irc.example.net :+ 6697  FP=ab:CD "), "irc.example.net:+6697 fp=ab:CD");
  EXPECT_EQ(read("[2001:db8::1]:+6697"), "[2001:db8::1]:+6697");
  EXPECT_EQ(read("[::1]"), "[::1]:6667");
  EXPECT_EQ(read("127.0.0.1:7000:1"), "127.0.0.1:7000:1");  // no port: refused later, as ever
  EXPECT_EQ(ParseConnTarget("[::1]:7000").Host, "::1");
}

// The key of a lingering session is a word of its own after the server; what
// the grid shows never holds it.
TEST(ConnTargetTest, LingerKeyIsReadWhereverItStandsAndNeverShown) {
  const auto read = [](const std::string& argument) {
    const TConnTarget target = ParseConnTarget(argument);
    return target.Text() + " fp=" + target.Fingerprint + " key=" + target.LingerKey +
           (target.PlainInsecure ? " insecure" : "");
  };
  EXPECT_EQ(read("irc.example.net:6697 linger=Se:cr3t=key!"), "irc.example.net:6697 fp= key=Se:cr3t=key!");
  EXPECT_EQ(read("irc.example.net:+6697 LINGER=k:e:y:1234567 fp=ab:CD sasl=plain-insecure"),
            "irc.example.net:+6697 fp=ab:CD key=k:e:y:1234567 insecure");
  EXPECT_EQ(read("irc.example.net:+6697 fp=ab:CD linger=secret-key-1 "), "irc.example.net:+6697 fp=ab:CD key=secret-key-1");
  EXPECT_EQ(read("[::1]:7000 sasl=plain-insecure linger=fp=sasl=key"), "[::1]:7000 fp= key=fp=sasl=key insecure");
  EXPECT_EQ(read("linger=secret-key-1"), ":6667 fp= key=secret-key-1");  // no server: refused later, key unshown
  // A second such word is taken too: the server as shown reads back as the same.
  EXPECT_EQ(read("irc sasl=plain-insecure x sasl=]0"), "irc x:6667 fp= key= insecure");
  EXPECT_EQ(read("[linger=x]:7000"), "[linger=x]:7000 fp= key=");
}

// "+port" links over TLS, checked against the name the user gave, or against a
// pinned fingerprint; a failed handshake says why before the link ends.
TEST_F(ServerLinkTest, APlusPortLinksOverTlsAndAFailedHandshakeSaysWhy) {
  transport.Hosts["irc.example.net"] = "192.0.2.20";
  TRecordingPeer& user = GreetedUser();
  EXPECT_EQ(Say(user, "NICK joe\r\nCONN irc.example.net:+6697\r\n"), Notice("   Connecting to server...\r\n", "joe"));
  EXPECT_EQ(transport.Link(0).ConnectedTo(), ">192.0.2.20:6697 tls irc.example.net");
  EXPECT_EQ(console.GetCell(2, 1), "irc.example.net:+6697");
  transport.Link(0).TlsFailure = "certificate verify failed: self-signed certificate";
  transport.Link(0).Answer(10053);
  Settle();
  EXPECT_EQ(user.Take(), Notice("   TLS: certificate verify failed: self-signed certificate\r\n", "joe") +
                             Notice("   Disconnected from the IRC server.\r\n", "joe"));

  Say(GreetedUser(), "CONN irc.example.net:+6697 fp=ab:CD:01 \r\n");
  EXPECT_EQ(transport.Link(1).ConnectedTo(), ">192.0.2.20:6697 tls irc.example.net fp=ab:CD:01");
  Say(GreetedUser(), "CONN 192.0.2.30:6667 FP=ab:cd\r\n");  // a pin means nothing without TLS
  EXPECT_EQ(transport.Link(2).ConnectedTo(), ">192.0.2.30:6667");
}

TEST_F(ServerLinkTest, ConnWithoutPortUsesTheDefaultPortAndStartsTheWindow) {
  transport.Hosts["irc.example.net"] = "192.0.2.20";
  EXPECT_EQ(Say(GreetedUser(), "CONN  irc.example.net \r\n"), Notice("   Connecting to server...\r\n"));
  EXPECT_EQ(console.GetCell(1, 1), "Connecting to server...");
  EXPECT_EQ(console.GetCell(2, 1), "irc.example.net:6667");
  EXPECT_EQ(transport.Link(0).ConnectedTo(), ">192.0.2.20:6667");
  EXPECT_EQ(Record(0).Link->Tag, 0);
  EXPECT_TRUE(Record(0).CtcpTimer->Enabled());
}

TEST_F(ServerLinkTest, OneLookupServesTheDestinationRuleAndTheConnect) {
  transport.Hosts["irc.example.net"] = "192.0.2.20";
  settings.DestinationList.Add("irc.example.net");
  settings.destination = TListMode::only;
  settings.SettingChanged("destination");
  bouncer.SettingsReloaded();
  Settle();
  const int before = transport.Lookups();
  EXPECT_EQ(Say(GreetedUser(), "CONN irc.example.net\r\n"), Notice("   Connecting to server...\r\n"));
  EXPECT_EQ(transport.Lookups(), before + 1);
}

TEST_F(ServerLinkTest, FailedConnectsTellWhatFailedAndClose) {
  const auto conn = [&](const std::string& line) {
    TRecordingPeer& user = GreetedUser();
    std::string told = Say(user, line);
    while (transport.Waiting() > 0) {  // every name the test did not give fails
      transport.Resolve("irc.example.invalid", "");
      transport.Resolve("bind.example.invalid", "");
      Settle();
      told += user.Take();
    }
    EXPECT_EQ(user.State(), wsClosed) << line;
    return told;
  };
  EXPECT_EQ(conn("CONN 127.0.0.1:7000:1\r\n"), "");
  EXPECT_EQ(conn("CONN 127.0.0.1:\r\n"), "");
  EXPECT_EQ(conn("CONN  irc.example.invalid :6667\r\n"),
            Notice("   Error, can't resolve server hostname: irc.example.invalid\r\n"));
  // A server name with "bind" in it is no bind failure.
  EXPECT_EQ(conn("CONN bind.example.invalid\r\n"),
            Notice("   Error, can't resolve server hostname: bind.example.invalid\r\n"));
}

// The engine goes by the failure's step and number; the texts are its own.
TEST_F(ServerLinkTest, FailuresAreToldByTheirStepAndNumber) {
  TRecordingPeer& waiting = GreetedUser();
  Say(waiting, "CONN slow.example.net\r\n");
  transport.Fail("slow.example.net", WSATRY_AGAIN);  // the resolver's limit passed
  Settle();
  EXPECT_EQ(waiting.Take(), Notice("   Error, can't resolve server hostname: slow.example.net\r\n"));
  EXPECT_EQ(waiting.State(), wsClosed);

  // A source address that cannot be bound fails at the connect, after the
  // lookup; no other failure of the connect names a cause.
  settings.SelectableIps = {"Default ip", "203.0.113.77"};
  const auto connect_failing = [&](const ESocketException& failure) {
    TRecordingPeer& user = GreetedUser();
    Say(user, "IP #1\r\n");
    user.Receive("CONN 192.0.2.10\r\n");
    loop.RunOnce(std::chrono::milliseconds(0));  // the line: the link is made, its lookup asked
    transport.Link(transport.LinkCount() - 1).FailConnect = failure;
    Settle();
    EXPECT_EQ(user.State(), wsClosed) << failure.what();
    return user.Take();
  };
  EXPECT_EQ(connect_failing(ESocketException(TSocketStep::kBind, WSAEADDRNOTAVAIL)),
            Notice("   Error, IP not available: 203.0.113.77\r\n"));
  EXPECT_EQ(connect_failing(ESocketException(TSocketStep::kBoundName, WSAEINVAL)), "");
  EXPECT_EQ(connect_failing(ESocketException(TSocketStep::kConnect, 10051)), "");
}

TEST_F(ServerLinkTest, DestinationRuleRefusesThenAllowsWithTheSameLink) {
  settings.DestinationList.Add("192.0.2.6");
  settings.DestinationList.Add("192.0.2.5");
  settings.destination = TListMode::only;
  settings.SettingChanged("destination");
  TRecordingPeer& user = GreetedUser();
  EXPECT_EQ(Say(user, "CONN 192.0.2.7\r\n"), Notice("   Destination server not allowed.\r\n") +
                                                 Notice("   Allowed servers list:\r\n") +
                                                 Notice("   - 192.0.2.5\r\n") + Notice("   - 192.0.2.6\r\n"));
  const TConnection* link = Record(0).Link.get();
  EXPECT_EQ(link->State(), wsClosed);
  settings.DestinationList.Add("192.0.2.10");
  LinkUser(user, "joe");
  EXPECT_EQ(Record(0).Link.get(), link);

  settings.destination = TListMode::except;
  settings.SettingChanged("destination");
  EXPECT_EQ(Say(GreetedUser(), "CONN 192.0.2.10\r\n"),
            Notice("   Destination server not allowed.\r\n") + Notice("   Ban servers list:\r\n") +
                Notice("   - 192.0.2.10\r\n") + Notice("   - 192.0.2.5\r\n") + Notice("   - 192.0.2.6\r\n"));
}

// A server's name that takes long to resolve holds up nobody else: the user's
// own lines wait for the link, the others' go on.
TEST_F(ServerLinkTest, ASlowNameAnswerHoldsUpOnlyItsOwnUser) {
  TRecordingPeer& waiting = GreetedUser("10.0.0.1");
  TRecordingPeer& chatting = GreetedUser("10.0.0.2");
  TRecordingPeer& server = LinkUser(chatting, "bob");
  EXPECT_EQ(Say(waiting, "NICK ann\r\nCONN slow.example.net\r\nJOIN #a\r\n"), "");
  EXPECT_EQ(transport.Waiting(), 1u);
  for (int i = 0; i < 3; ++i) {
    Say(chatting, "PRIVMSG #b :" + std::to_string(i) + "\r\n");
    EXPECT_EQ(server.Take(), "PRIVMSG #b :" + std::to_string(i) + "\r\n");
    EXPECT_EQ(Say(chatting, "PING :" + std::to_string(i) + "\r\n"), "");
    EXPECT_EQ(Say(server, ":srv PONG :" + std::to_string(i) + "\r\n"), "PING :" + std::to_string(i) + "\r\n");
    EXPECT_EQ(chatting.Take(), ":srv PONG :" + std::to_string(i) + "\r\n");
  }
  EXPECT_EQ(Say(waiting, "PRIVMSG #a :hi\r\n"), "");
  transport.Resolve("slow.example.net", "192.0.2.30");
  Settle();
  EXPECT_EQ(waiting.Take(), Notice("   Connecting to server...\r\n", "ann"));
  TRecordingPeer& slow = transport.Link(1);
  slow.Answer();
  Settle();
  EXPECT_EQ(slow.Take(), "NICK ann\r\nJOIN #a\r\nPRIVMSG #a :hi\r\n");

  // A user who leaves while its lookup runs is simply gone when it answers.
  TRecordingPeer& gone = GreetedUser("10.0.0.3");
  Say(gone, "CONN slow.example.net\r\n");
  gone.PeerCloses();
  Settle();
  transport.Resolve("slow.example.net", "192.0.2.30");
  Settle();
  EXPECT_EQ(bouncer.UserCount(), 2);
}

// A name with several addresses: a failed connect moves on to the next one in
// the resolver's order without a word; only when all have failed is the user
// told, as after any failed connect. The grid shows the server as given.
TEST_F(ServerLinkTest, ANameWithSeveralAddressesTriesThemInTurn) {
  TRecordingPeer& user = GreetedUser();
  Say(user, "NICK joe\r\nCONN irc.example.net:6667\r\n");
  transport.ResolveAll("irc.example.net", {"2001:db8::1", "192.0.2.1", "192.0.2.2"});
  Settle();
  EXPECT_EQ(user.Take(), Notice("   Connecting to server...\r\n", "joe"));
  EXPECT_EQ(transport.Link(0).ConnectedTo(), ">2001:db8::1:6667");
  transport.Link(0).Answer(10061);
  Settle();
  EXPECT_EQ(transport.Link(0).ConnectedTo(), ">192.0.2.1:6667");
  EXPECT_EQ(user.Take(), "");
  transport.Link(0).Answer(0);
  Settle();
  EXPECT_EQ(user.Take(), Notice("   Connected to the IRC server.\r\n", "joe"));
  EXPECT_EQ(console.GetCell(2, 1), "irc.example.net:6667");
  // Once linked, an end is the end: no other address is tried.
  transport.Link(0).PeerCloses();
  Settle();
  EXPECT_EQ(user.Take(), Notice("   Disconnected from the IRC server.\r\n", "joe"));

  TRecordingPeer& other = GreetedUser();
  Say(other, "NICK ann\r\nCONN irc.example.net:6667\r\n");
  transport.ResolveAll("irc.example.net", {"192.0.2.1", "2001:db8::1"});
  Settle();
  other.Take();
  transport.Link(1).Answer(10061);
  Settle();
  EXPECT_EQ(transport.Link(1).ConnectedTo(), ">2001:db8::1:6667");
  transport.Link(1).Answer(10060);
  Settle();
  EXPECT_EQ(other.Take(), Notice("   Disconnected from the IRC server.\r\n", "ann"));
  EXPECT_EQ(other.State(), wsClosed);
}

// With a source address chosen, the rule decides on the server's first address
// of that family, the one connected to, whatever came before it.
TEST_F(ServerLinkTest, TheDestinationRuleJudgesTheAddressOfTheChosenFamily) {
  settings.DestinationList.Add("192.0.2.1");
  settings.DestinationList.Add("2001:db8::1");
  settings.destination = TListMode::except;
  settings.SettingChanged("destination");
  settings.SelectableIps = {"Default ip", "198.51.100.7"};
  TRecordingPeer& user = GreetedUser();
  Say(user, "IP #1\r\nCONN irc.example.net\r\n");
  user.Take();
  transport.ResolveAll("irc.example.net", {"2001:db8::2", "192.0.2.1"});
  Settle();
  EXPECT_EQ(user.Take(), Notice("   Destination server not allowed.\r\n") + Notice("   Ban servers list:\r\n") +
                             Notice("   - 192.0.2.1\r\n") + Notice("   - 2001:db8::1\r\n"));
  EXPECT_EQ(transport.Link(0).ConnectedTo(), "");
  Say(user, "CONN irc.example.net\r\n");
  transport.ResolveAll("irc.example.net", {"2001:db8::1", "192.0.2.2"});
  Settle();
  EXPECT_EQ(user.Take(), Notice("   Connecting to server...\r\n"));
  EXPECT_EQ(transport.Link(0).ConnectedTo(), "198.51.100.7>192.0.2.2:6667");
}

}  // namespace
}  // namespace kelvox::test
