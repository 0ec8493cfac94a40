// Capabilities and SASL through the bouncer: the client's negotiation before
// CONN, and the bouncer's with an IRC server played by the test.
#include <gtest/gtest.h>

#include "engine/sasl.h"
#include "tests/engine/engine_fixture.h"

namespace kelvox::test {
namespace {

class LinkCapsTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    Start();
  }

  struct TLinked {
    TRecordingPeer& user;
    TRecordingPeer& server;
  };
  /// A user named joe that took these capabilities (and, with a password,
  /// left SASL PLAIN credentials), linked with CONN plus `options`; the
  /// server's CAP LS and the held registration taken.
  TLinked Negotiated(const std::string& caps, const std::string& password = "",
                             const std::string& options = " sasl=plain-insecure") {
    TRecordingPeer& user = GreetedUser();
    Say(user, "CAP LS 302\r\nNICK joe\r\nUSER joe 0 * :Joe\r\n");
    EXPECT_EQ(Say(user, "CAP REQ :" + caps + "\r\n"), ":Kelvox CAP joe ACK :" + caps + "\r\n");
    if (!password.empty()) {
      EXPECT_EQ(Say(user, "AUTHENTICATE PLAIN\r\n"), "AUTHENTICATE +\r\n");
      std::string answers;
      for (const std::string& line : AuthenticateLines(std::string("\0joe\0", 5) + password)) {
        answers += Say(user, line + "\r\n");
      }
      EXPECT_EQ(answers, ":Kelvox 900 joe joe!*@* joe :SASL credentials for joe kept for the network\r\n"
                         ":Kelvox 903 joe :SASL credentials kept for the network\r\n");
    }
    EXPECT_EQ(Say(user, "CAP END\r\nCONN 192.0.2.10:6667" + options + "\r\nJOIN #k\r\n"),
              Welcome("joe") + Notice("   Connecting to server...\r\n", "joe"));
    TRecordingPeer& server = transport.Link(transport.LinkCount() - 1);
    server.Answer();
    Settle();
    EXPECT_EQ(server.Take(), "CAP LS 302\r\nNICK joe\r\nUSER joe 0 * :" + std::string(kWebHost) + "\r\n");
    EXPECT_EQ(user.Take(), Notice("   Connected to the IRC server.\r\n", "joe"));
    return {user, server};
  }
};

// The whole way: a long password in two AUTHENTICATE chunks (the second "+"
// after a full 400), a multi-line LS, one REQ and its one-by-one fallback,
// PLAIN, CAP END only after 903, the held lines after it, and CAP DEL for what
// the server lacks.
TEST_F(LinkCapsTest, PlainLoginInsideTheServersRegistration) {
  const std::string password(295, 'p');  // "\0joe\0" + 295 bytes: 400 characters of base64
  ASSERT_EQ(AuthenticateLines(std::string("\0joe\0", 5) + password).size(), 2u);
  auto [user, server] = Negotiated("sasl server-time message-tags chghost", password);
  EXPECT_EQ(Say(server, ":irc.test CAP * LS * :multi-prefix sasl=PLAIN,EXTERNAL\r\n"), "");
  EXPECT_EQ(Say(server, ":irc.test CAP * LS :server-time message-tags\r\n"),
            "CAP REQ :message-tags sasl server-time\r\n");
  Say(user, "PRIVMSG #k :early\r\n");
  EXPECT_EQ(Say(server, "PING :t1\r\n:irc.test CAP joe NAK :message-tags sasl server-time\r\n"),
            "PONG :t1\r\nCAP REQ :message-tags\r\n");
  EXPECT_EQ(Say(server, ":irc.test CAP joe ACK :message-tags\r\n"), "CAP REQ :sasl\r\n");
  EXPECT_EQ(Say(server, ":irc.test CAP joe ACK :sasl\r\n"), "CAP REQ :server-time\r\n");
  EXPECT_EQ(Say(server, ":irc.test CAP joe NAK :server-time\r\n"), "AUTHENTICATE PLAIN\r\n");
  const std::vector<std::string> payload = AuthenticateLines(std::string("\0joe\0", 5) + password);
  EXPECT_EQ(Say(server, "AUTHENTICATE +\r\n"), payload[0] + "\r\n" + payload[1] + "\r\n");
  EXPECT_EQ(Say(server, ":irc.test 900 joe joe!joe@h joeacct :You are now logged in as joeacct\r\n"), "");
  EXPECT_EQ(user.Take(), "");
  EXPECT_EQ(Say(server, ":irc.test 903 joe :SASL authentication successful\r\n"), "CAP END\r\n");
  EXPECT_EQ(user.Take(), Notice("   SASL: logged in as joeacct.\r\n", "joe") + ":Kelvox CAP joe DEL :chghost\r\n");
  // Until the server's welcome only the registration goes: a new nick after a 433.
  Say(server, ":irc.test 433 * joe :Nickname is already in use\r\n");
  EXPECT_TRUE(user.Take().ends_with(":irc.test 433 * joe :Nickname is already in use\r\n"));
  Say(user, "NICK joe_\r\nMODE joe_ +i\r\n");
  EXPECT_EQ(server.Take(), "NICK joe_\r\n");
  EXPECT_EQ(Say(server, ":irc.test 001 joe_ :Welcome\r\n"), "JOIN #k\r\nPRIVMSG #k :early\r\nMODE joe_ +i\r\n");
  user.Take();
  EXPECT_FALSE(Record(0).Caps->Credentials.has_value());

  // message-tags: the server's tags as they are; server-time the server
  // refused is given by the bouncer.
  Say(server, "@time=2026-01-01T00:00:00.000Z;msgid=1 :a!b@c PRIVMSG joe :hi\r\n:a!b@c PRIVMSG joe :x\r\n");
  const std::string relayed = user.Take();
  ASSERT_EQ(relayed.rfind("@time=2026-01-01T00:00:00.000Z;msgid=1 :a!b@c PRIVMSG joe :hi\r\n@time=", 0), 0u);
  EXPECT_TRUE(relayed.ends_with("Z :a!b@c PRIVMSG joe :x\r\n")) << relayed;
}

// Refusals end nothing: the user hears why and the registration goes on.
TEST_F(LinkCapsTest, RefusalsAreToldAndTheLinkRegisters) {
  auto [refused, wrong] = Negotiated("sasl", "bad");
  EXPECT_EQ(Say(wrong, ":irc.test CAP * LS :sasl\r\n"), "CAP REQ :sasl\r\n");
  EXPECT_EQ(Say(wrong, ":irc.test CAP joe ACK :sasl\r\nAUTHENTICATE +\r\n"),
            "AUTHENTICATE PLAIN\r\n" + AuthenticateLines(std::string("\0joe\0bad", 8))[0] + "\r\n");
  EXPECT_EQ(Say(wrong, ":irc.test 904 joe :SASL authentication failed\r\n"), "CAP END\r\n");
  EXPECT_EQ(Say(wrong, ":irc.test 001 joe :Welcome\r\n"), "JOIN #k\r\n");
  EXPECT_EQ(refused.Take(), Notice("   SASL: the IRC server refused the login (904 SASL authentication failed).\r\n",
                                   "joe") + ":irc.test 001 joe :Welcome\r\n");

  // PLAIN is not sent readable without the user's word.
  auto [readable, plain] = Negotiated("sasl server-time", "pw", "");
  EXPECT_EQ(Say(plain, ":irc.test CAP * LS :sasl=PLAIN server-time\r\n"), "CAP REQ :server-time\r\n");
  EXPECT_EQ(Say(plain, ":irc.test CAP joe ACK :server-time\r\n"), "CAP END\r\n");
  EXPECT_EQ(readable.Take(), Notice("   SASL: PLAIN would send your password readable: link with TLS "
                                   "(CONN host:+port), or add sasl=plain-insecure to CONN.\r\n",
                                   "joe"));
}

// A server that does not know CAP: no hang, no CAP END; server-time and
// echo-message come from the bouncer, other tags never reach the client, and a
// user without capabilities sees no tag at all.
TEST_F(LinkCapsTest, AServerWithoutCapabilitiesGetsNoneAndTheBouncerGivesWhatItCan) {
  auto [user, server] = Negotiated("sasl server-time echo-message away-notify", "pw");
  EXPECT_EQ(Say(server, ":old.test 421 joe CAP :Unknown command\r\n"), "");
  EXPECT_EQ(user.Take(), Notice("   SASL: the IRC server offers no SASL; you are not logged in.\r\n", "joe") +
                             ":Kelvox CAP joe DEL :away-notify\r\n");
  EXPECT_EQ(Say(server, ":old.test 001 joe :Hi\r\n"), "JOIN #k\r\n");
  user.Take();
  Say(server, "@account=x;msgid=2 :a!b@c PRIVMSG joe :hi\r\n");
  const std::string relayed = user.Take();
  EXPECT_TRUE(relayed.starts_with("@time=") && relayed.ends_with("Z :a!b@c PRIVMSG joe :hi\r\n")) << relayed;
  EXPECT_EQ(relayed.find("account="), std::string::npos);
  EXPECT_EQ(Say(user, "PRIVMSG #k :me\r\nNAMES #k\r\n").substr(0, 6), "@time=");
  EXPECT_EQ(server.Take(), "PRIVMSG #k :me\r\nNAMES #k\r\n");

  TRecordingPeer& plain = GreetedUser();
  TRecordingPeer& link = LinkUser(plain, "ann");
  Say(link, "@msgid=3 :a!b@c NOTICE ann :x\r\n");
  EXPECT_EQ(plain.Take(), ":a!b@c NOTICE ann :x\r\n");
}

// SCRAM-SHA-256 when the server offers it and not PLAIN: RFC 7677's exchange.
TEST_F(LinkCapsTest, ScramWhenTheServerOffersItAndNotPlain) {
  TRecordingPeer& user = GreetedUser();
  Say(user, "CAP REQ :sasl\r\nAUTHENTICATE PLAIN\r\n");
  Say(user, "AUTHENTICATE " + EncodeBase64(std::string("\0user\0pencil", 12)) + "\r\n");
  Say(user, "CAP END\r\nNICK joe\r\nUSER joe 0 * :Joe\r\nCONN 192.0.2.10\r\n");
  TRecordingPeer& server = transport.Link(0);
  server.Answer();
  Settle();
  server.Take();
  bouncer.Sessions().Slot(0).Registration->ScramNonce = [] { return std::string("rOprNGfwEbeRWgbNEkqO"); };
  EXPECT_EQ(Say(server, ":irc.test CAP * LS :sasl=EXTERNAL,SCRAM-SHA-256\r\n:irc.test CAP joe ACK :sasl\r\n"),
            "CAP REQ :sasl\r\nAUTHENTICATE SCRAM-SHA-256\r\n");
  EXPECT_EQ(Say(server, "AUTHENTICATE +\r\n"),
            "AUTHENTICATE " + EncodeBase64("n,,n=user,r=rOprNGfwEbeRWgbNEkqO") + "\r\n");
  const std::string first = "r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096";
  EXPECT_EQ(Say(server, "AUTHENTICATE " + EncodeBase64(first) + "\r\n"),
            "AUTHENTICATE " +
                EncodeBase64("c=biws,r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,"
                             "p=dHzbZapWIk4jUhN+Ute9ytag9zjfMHgsqmmiz7AndVQ=") +
                "\r\n");
  EXPECT_EQ(Say(server, "AUTHENTICATE " + EncodeBase64("v=6rriTRBi23WpRR/wtup+mMhUZUn/dB5nLTJRsjl95G4=") + "\r\n"),
            "AUTHENTICATE +\r\n");
  EXPECT_EQ(Say(server, ":irc.test 903 joe :SASL authentication successful\r\n"), "CAP END\r\n");
  EXPECT_NE(user.Take().find("   SASL: logged in as user.\r\n"), std::string::npos);
}

}  // namespace
}  // namespace kelvox::test
