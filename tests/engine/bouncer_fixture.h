// A bouncer with its settings in a temporary directory and its console as a
// model the tests read, over the transport a test chooses, and the texts it
// greets users with.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "config/settings.h"
#include "console/console_model.h"
#include "engine/bouncer.h"
#include "tests/support/temp_dir.h"

namespace kelvox::test {

template <class Transport>
class TBouncerFixture : public ::testing::Test {
 protected:
  /// A bouncer notice to a user without a nick yet, or to the nick given.
  static std::string Notice(const std::string& text, const std::string& to = "*") { return BouncerNotice(to, text); }
  static std::string Banner() { return Notice("   Kelvox v2.6 by Vostrand - www.kelvox.net\r\n"); }
  /// What a client gets once it has given NICK and USER (and the password).
  static std::string Welcome(const std::string& nick) {
    return ":Kelvox 001 " + nick + " :Welcome to Kelvox, " + nick +
           ". /quote CONN host[:port] links you to an IRC server.\r\n:Kelvox 422 " + nick +
           " :/quote HELP lists the bouncer's commands.\r\n";
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
  Transport transport{loop};
  TBouncer bouncer{loop, settings, console, transport};
};

}  // namespace kelvox::test
