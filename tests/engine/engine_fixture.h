// The bouncer on a recording transport: the test plays the users, the IRC
// servers and the resolver line by line, and reads the console as a model.
// Nothing here touches the network, so each step runs every task it causes and
// the test then reads exactly what was sent.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "base/web_site.h"
#include "tests/engine/bouncer_fixture.h"
#include "tests/support/recording_transport.h"

namespace kelvox::test {

class EngineTest : public TBouncerFixture<TRecordingTransport> {
 protected:
  /// The machine's own address, under which a user on 127.0.0.1 is seen.
  static constexpr const char* kMachine = "10.9.9.9";

  void SetUp() override {
    settings.Beep = false;
    settings.Logfile = dir.File("log.txt");
    bouncer.Checks().MachineName = [] { return std::string(kMachine); };
    bouncer.FormShow();
  }

  void Start() {
    bouncer.Button1Click();
    ASSERT_TRUE(bouncer.Listening());
  }
  /// Runs every task that is waiting and every task those bring.
  void Settle() { loop.RunUntilIdle(); }

  /// A user the listener has taken, admitted or refused.
  TRecordingPeer& Connect(const std::string& address = "10.0.0.1") {
    TRecordingPeer& user = transport.Accept(address);
    Settle();
    return user;
  }
  /// A user past admission, its greeting (or the password prompt) taken.
  TRecordingPeer& GreetedUser(const std::string& address = "10.0.0.1") {
    TRecordingPeer& user = Connect(address);
    EXPECT_EQ(user.Take(), settings.Identification
                               ? Notice("   Enter your password. /quote PASS <password>\r\n")
                               : Greeting());
    return user;
  }
  /// The peer sends these bytes; returns what the engine sent it meanwhile.
  std::string Say(TRecordingPeer& peer, const std::string& bytes) {
    peer.Receive(bytes);
    Settle();
    return peer.Take();
  }
  /// A user linked to an IRC server (192.0.2.10:6667) under a nick: NICK and
  /// USER held, CONN, the connect answered, the held lines at the server.
  TRecordingPeer& LinkUser(TRecordingPeer& user, const std::string& nick) {
    EXPECT_EQ(Say(user, "NICK " + nick + "\r\nUSER " + nick + " 0 * :Real Name\r\nCONN 192.0.2.10:6667\r\n"),
              Welcome(nick) + Notice("   Connecting to server...\r\n", nick));
    TRecordingPeer& server = transport.Link(transport.LinkCount() - 1);
    server.Answer();
    Settle();
    EXPECT_EQ(server.Take(), "NICK " + nick + "\r\nUSER " + nick + " 0 * :" + std::string(kWebHost) + "\r\n");
    EXPECT_EQ(user.Take(), Notice("   Connected to the IRC server.\r\n", nick));
    return server;
  }

  const TMySocket& Record(int slot) { return bouncer.Sessions().Slot(slot); }
};

}  // namespace kelvox::test
