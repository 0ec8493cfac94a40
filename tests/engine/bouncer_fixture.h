// A bouncer listening on a loopback port of its own, with its settings in a
// temporary directory and its console as a model the tests read.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "config/settings.h"
#include "console/console_model.h"
#include "engine/bouncer.h"
#include "engine/session.h"
#include "tests/support/loopback.h"
#include "tests/support/temp_dir.h"

namespace kelvox::test {

class BouncerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    settings.Port = "0";  // the OS picks; the test reads it back
    settings.Beep = false;
    settings.Logfile = dir.File("log.txt");
    bouncer.FormShow();
  }

  void Start() {
    bouncer.Button1Click();
    ASSERT_EQ(bouncer.Server.State(), wsListening);
    port = static_cast<uint16_t>(bouncer.Server.BoundPort());
  }

  /// A new user, once the bouncer has listed it (and, refused or not, admitted it).
  TRawPeer& Connect() {
    peers.push_back(std::make_unique<TRawPeer>(loop, port));
    const int accepted = static_cast<int>(bouncer.Server.AcceptCount()) + 1;
    EXPECT_TRUE(loop.RunUntil([&] { return bouncer.Server.AcceptCount() == accepted; }, kWait));
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
  /// Waits until the peer has received exactly these bytes.
  void WaitReceived(TRawPeer& peer, const std::string& bytes) {
    loop.RunUntil([&] { return peer.Received().size() >= bytes.size(); }, kWait);
    EXPECT_EQ(peer.Received(), bytes);
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
    const auto& link = bouncer.Links[static_cast<std::size_t>(slot)];
    EXPECT_TRUE(loop.RunUntil([&] { return link && link->State() == wsConnected; }, kWait));
    return std::make_unique<TRawPeer>(loop, irc.Accept(), true);
  }

  /// A user registered through the bouncer to the test's IRC server: NICK and
  /// USER held, CONN, the link accepted and the held lines received there.
  std::unique_ptr<TRawPeer> LinkUser(TRawPeer& user, TRawListener& irc, const std::string& nick) {
    int slot = 0;
    while (peers[static_cast<std::size_t>(slot)].get() != &user) ++slot;
    user.Send("NICK " + nick + "\r\nUSER " + nick + " 0 * :Real Name\r\nCONN 127.0.0.1:" + irc.PortText() + "\r\n");
    ExpectNext(user, Notice("   Connecting to server...\r\n"));
    auto server = AcceptLink(irc, slot);
    ExpectNext(*server, "NICK " + nick + "\r\nUSER " + nick + " 0 * :" + std::string(kWebHost) + "\r\n");
    ExpectNext(user, Notice("   Connected to the IRC server.\r\n"));
    return server;
  }

  static std::string Notice(const std::string& text) { return BouncerNotice(text); }
  static std::string Banner() {
    return Notice("   Kelvox v2.6 by Vostrand - www.kelvox.net\r\n");
  }
  std::string Greeting() const {
    std::string bytes = Banner();
    for (const std::string& line : settings.WelcomeText) bytes += Notice("   " + line + "\r\n");
    return bytes;
  }

  TTempDir dir;
  TEventLoop loop;
  TSettings settings{dir.Path()};
  TConsoleModel console{loop};
  TBouncer bouncer{loop, settings, console};
  uint16_t port = 0;
  std::vector<std::unique_ptr<TRawPeer>> peers;

 private:
  std::map<const TRawPeer*, std::size_t> cursor_;
};

}  // namespace kelvox::test
