// A bouncer listening on a loopback port of its own, with its settings in a
// temporary directory and its console as a model the tests read.
#pragma once

#include <gtest/gtest.h>

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

  static std::string Notice(const std::string& text) { return BouncerNotice(text); }
  static std::string Banner() {
    return Notice("   Kelvox v2.6 by Vostrand - " + std::string(kWebHost) + "\r\n");
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
};

}  // namespace kelvox::test
