// End to end: a real IRC server (ngircd), the kelvox program, and two real IRC
// clients, one through the bouncer and one direct, talking both ways.
#include <gtest/gtest.h>
#include <poll.h>

#include <cstdlib>
#include <string>

#include "tests/support/child_process.h"
#include "tests/support/loopback.h"
#include "tests/support/temp_dir.h"

namespace kelvox::test {
namespace {

using std::chrono::seconds;

// The server pings after this much silence and gives up as long again later.
constexpr int kIrcdPingTimeout = 5;

void Pause() { poll(nullptr, 0, 20); }

// Waits until something accepts connections on the port.
bool Listening(uint16_t port) {
  const auto deadline = std::chrono::steady_clock::now() + kWait;
  while (std::chrono::steady_clock::now() < deadline) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in sa = Loopback(port);
    const bool up = connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0;
    close(fd);
    if (up) return true;
    Pause();
  }
  return false;
}

TEST(RelayEndToEndTest, ClientsTalkThroughKelvoxAndItAnswersTheServersPings) {
  const char* node_path = std::getenv("KELVOX_E2E_NODE_PATH");
  if (node_path == nullptr) {
    if (std::getenv("CI") != nullptr) FAIL() << "KELVOX_E2E_NODE_PATH is not set: run scripts/test.sh";
    GTEST_SKIP() << "KELVOX_E2E_NODE_PATH is not set (scripts/test.sh installs the IRC client)";
  }
  TTempDir dir;
  const uint16_t ircd_port = FreeListenPort();
  const uint16_t kelvox_port = FreeListenPort();
  dir.Write("ngircd.conf",
            "[Global]\n"
            "  Name = irc.kelvox.test\n"
            "  Info = Kelvox test server\n"
            "  Listen = 127.0.0.1\n"
            "  Ports = " + std::to_string(ircd_port) + "\n"
            "  MotdPhrase = \"Kelvox test\"\n"
            "[Limits]\n"
            "  PingTimeout = " + std::to_string(kIrcdPingTimeout) + "\n"
            "  PongTimeout = " + std::to_string(kIrcdPingTimeout) + "\n"
            "  MaxConnectionsIP = 0\n"
            "[Options]\n"
            "  DNS = no\n"
            "  Ident = no\n"
            "  PAM = no\n");
  TChildProcess ircd({{"ngircd", "-n", "-f", dir.File("ngircd.conf")}, {}, false, false, dir.File("ngircd.log")});
  ASSERT_TRUE(Listening(ircd_port)) << dir.Read("ngircd.log");

  dir.Write("Config.ini", "[Main]\r\nPort=" + std::to_string(kelvox_port) + "\r\nAutoStart=yes\r\nBeep=no\r\n");
  TChildProcess kelvox({{KELVOX_BINARY, "--config-dir", dir.Path()}, {}, false, false, dir.File("kelvox.out")});
  ASSERT_TRUE(Listening(kelvox_port)) << dir.Read("kelvox.out");

  // Silent for longer than the server waits for a PONG after its PING.
  const int idle = 2 * kIrcdPingTimeout + 2;
  TChildProcess clients({{"node", KELVOX_E2E_SCRIPT, std::to_string(kelvox_port), std::to_string(ircd_port),
                          std::to_string(idle)},
                         {std::string("NODE_PATH=") + node_path},
                         false,
                         false,
                         dir.File("clients.out")});
  const int status = clients.WaitExit(seconds(idle + 60), Pause);
  EXPECT_EQ(status, 0) << "clients:\n"
                       << dir.Read("clients.out") << "\nkelvox:\n"
                       << dir.Read("kelvox.out") << "\nngircd:\n"
                       << dir.Read("ngircd.log");
  EXPECT_NE(dir.Read("clients.out").find("OK"), std::string::npos);
  kelvox.Signal(SIGTERM);
  EXPECT_EQ(kelvox.WaitExit(kWait, Pause), 0);
}

}  // namespace
}  // namespace kelvox::test
