// The bouncer over the socket transport, listening on a loopback port of its
// own, for what only real sockets show: back-pressure, the listener's errors.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/web_site.h"
#include "engine/socket_transport.h"
#include "tests/engine/bouncer_fixture.h"
#include "tests/support/loopback.h"
#include "tests/support/temp_dir.h"

namespace kelvox::test {

class SocketBouncerTest : public TBouncerFixture<TSocketTransport> {
 protected:
  void SetUp() override {
    settings.Port = "0";  // the OS picks; the test reads it back
    settings.Beep = false;
    settings.Logfile = dir.File("log.txt");
    bouncer.FormShow();
  }

  void Start() {
    bouncer.Button1Click();
    ASSERT_TRUE(bouncer.Listening());
    port = static_cast<uint16_t>(transport.Listener().BoundPort());
  }

  /// A new user, once the bouncer has listed it.
  TRawPeer& Connect() {
    peers.push_back(std::make_unique<TRawPeer>(loop, port));
    const int listed = bouncer.UserCount() + 1;
    EXPECT_TRUE(loop.RunUntil([&] { return bouncer.UserCount() == listed; }, kWait));
    return *peers.back();
  }

  /// Waits until the peer's connection has ended.
  void WaitClosed(TRawPeer& peer) {
    ASSERT_TRUE(loop.RunUntil([&] { return peer.Eof(); }, kWait));
  }
  /// Waits until the bouncer lists this many users.
  void WaitUsers(int count) {
    ASSERT_TRUE(loop.RunUntil([&] { return bouncer.UserCount() == count; }, kWait));
  }
  /// Expects the next bytes the peer receives (after those already expected) to
  /// be exactly these.
  void ExpectNext(TRawPeer& peer, const std::string& bytes) {
    std::size_t& seen = cursor_[&peer];
    loop.RunUntil([&] { return peer.Received().size() >= seen + bytes.size(); }, kWait);
    EXPECT_EQ(peer.Received().substr(seen, bytes.size()), bytes);
    seen = std::min(peer.Received().size(), seen + bytes.size());
  }
  /// Expects that nothing beyond what was expected has arrived.
  void ExpectNothingMore(TRawPeer& peer) { EXPECT_EQ(peer.Received().substr(cursor_[&peer]), ""); }

  /// A greeted user that has sent these lines.
  TRawPeer& GreetedUser() {
    TRawPeer& user = Connect();
    ExpectNext(user, settings.Identification ? Notice("   Enter your password. /quote PASS <password>\r\n")
                                             : Greeting());
    return user;
  }

  /// The IRC server's end of the link of a slot, once the bouncer has connected.
  std::unique_ptr<TRawPeer> AcceptLink(TRawListener& irc, int slot) {
    const TMySocket& record = bouncer.Sessions().Slot(slot);
    EXPECT_TRUE(loop.RunUntil([&] { return record.Link && record.Link->State() == wsConnected; }, kWait));
    return std::make_unique<TRawPeer>(loop, irc.Accept(), true);
  }
  /// The sockets behind a user's connection and its link.
  TWSocket& UserSocket(int slot) { return SocketOf(bouncer.Sessions().Slot(slot).Client); }
  TWSocket& LinkSocket(int slot) { return SocketOf(bouncer.Sessions().Slot(slot).Link); }
  static TWSocket& SocketOf(const std::unique_ptr<TConnection>& connection) {
    return static_cast<TSocketConnection&>(*connection).Socket();
  }

  /// A user registered through the bouncer to the test's IRC server: NICK and
  /// USER held, CONN, the link accepted and the held lines received there.
  std::unique_ptr<TRawPeer> LinkUser(TRawPeer& user, TRawListener& irc, const std::string& nick) {
    int slot = 0;
    while (peers[static_cast<std::size_t>(slot)].get() != &user) ++slot;
    user.Send("NICK " + nick + "\r\nUSER " + nick + " 0 * :Real Name\r\nCONN 127.0.0.1:" + irc.PortText() + "\r\n");
    ExpectNext(user, Welcome(nick) + Notice("   Connecting to server...\r\n", nick));
    auto server = AcceptLink(irc, slot);
    ExpectNext(*server, "NICK " + nick + "\r\nUSER " + nick + " 0 * :" + std::string(kWebHost) + "\r\n");
    ExpectNext(user, Notice("   Connected to the IRC server.\r\n", nick));
    return server;
  }

  uint16_t port = 0;
  std::vector<std::unique_ptr<TRawPeer>> peers;

 private:
  std::map<const TRawPeer*, std::size_t> cursor_;
};

}  // namespace kelvox::test
