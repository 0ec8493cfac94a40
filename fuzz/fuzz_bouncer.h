// A bouncer on the tests' recording transport for the fuzz targets: one user,
// its server link when asked for, and a settings folder of its own.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "config/settings.h"
#include "console/console_model.h"
#include "engine/bouncer.h"
#include "fuzz/settings_folder.h"
#include "tests/support/recording_transport.h"

namespace kelvox::fuzz {

class TFuzzBouncer {
 public:
  /// `flags` chooses the settings: bit 0 the password, 1 AutoPong, 2 CTCP
  /// protection, 3 an administrator password.
  explicit TFuzzBouncer(uint8_t flags) {
    settings.Beep = false;
    settings.Identification = (flags & 1) != 0;
    settings.Password = "pw";
    settings.AutoPong = (flags & 2) != 0;
    settings.CTCPProtect = (flags & 4) != 0;
    settings.AdminPassword = (flags & 8) != 0 ? "admin" : "";
    settings.SelectableIps = {"Default ip", "127.0.0.1", "10.0.0.*"};
    bouncer.Checks().MachineName = [] { return std::string("10.9.9.9"); };
    bouncer.FormShow();
    bouncer.Button1Click();
    user = &transport.Accept("10.0.0.1");
    Settle();
  }

  void Settle() { loop.RunUntilIdle(); }
  /// The user says these bytes.
  void Say(std::string_view bytes) {
    if (user->State() != wsConnected) return;
    user->Receive(bytes);
    Settle();
  }
  /// The user links to a server, which connects; returns the server's end.
  /// With `capabilities`, the user took some and left SASL credentials: the
  /// server's lines meet the bouncer's negotiation first.
  test::TRecordingPeer* Link(bool capabilities = false, bool linger = false) {
    if (capabilities) {
      Say("CAP LS 302\r\nCAP REQ :sasl server-time echo-message chghost\r\nAUTHENTICATE PLAIN\r\n"
          "AUTHENTICATE AGpvZQBwZW5jaWw=\r\nCAP END\r\n");
    }
    Say(std::string("PASS pw\r\nNICK joe\r\nUSER joe 0 * :Joe\r\nCONN 192.0.2.10") +
        (capabilities ? " sasl=plain-insecure" : "") + (linger ? " linger=" + std::string(kLingerKey) : "") + "\r\n");
    if (transport.LinkCount() == 0) return nullptr;
    test::TRecordingPeer* server = &transport.Link(transport.LinkCount() - 1);
    server->Answer();
    Settle();
    return server;
  }
  /// Another client of the same address comes with the lingering session's key.
  test::TRecordingPeer& Attach() {
    test::TRecordingPeer& client = transport.Accept("10.0.0.1");
    client.Receive("PASS pw\r\nNICK joe2\r\nUSER joe 0 * :Joe\r\nCONN 192.0.2.10 linger=" + std::string(kLingerKey) +
                   "\r\n");
    Settle();
    return client;
  }
  static constexpr std::string_view kLingerKey = "fuzz-key-0001";

  /// Feeds bytes to a peer in pieces of 1 to 64 bytes, the sizes taken from `size_seed`.
  void Feed(test::TRecordingPeer& peer, std::string_view bytes, uint8_t size_seed) {
    const std::size_t piece = size_seed % 64 + 1;
    for (std::size_t at = 0; at < bytes.size() && peer.State() == wsConnected; at += piece) {
      peer.Receive(bytes.substr(at, piece));
      Settle();
    }
  }

  TEventLoop loop;
  TSettings settings{SettingsFolder()};
  TConsoleModel console{loop};
  test::TRecordingTransport transport{loop};
  TBouncer bouncer{loop, settings, console, transport};
  test::TRecordingPeer* user = nullptr;
};

}  // namespace kelvox::fuzz
