// The kelvox program under a service manager of the test's own: a datagram
// socket named by NOTIFY_SOCKET, read the way systemd reads it.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "app/service_notify.h"
#include "tests/support/child_process.h"
#include "tests/support/loopback.h"
#include "tests/support/temp_dir.h"

namespace kelvox::test {
namespace {

// The program's Config.ini names a free port; the program runs as its unit runs
// it (standard input /dev/null, --start) with NOTIFY_SOCKET set.
class TNotifiedKelvox : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.Write("Config.ini", "[Main]\r\nPort=" + std::to_string(port_) + "\r\nBeep=no\r\n");
    const sockaddr_un address = Address();
    ASSERT_EQ(bind(manager_, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  }
  void TearDown() override {
    for (const int fd : fillers_) close(fd);
    close(manager_);
  }

  void Launch() {
    kelvox_ = std::make_unique<TChildProcess>(TChildProcess::TOptions{
        {KELVOX_BINARY, "--config-dir", dir_.Path(), "--start"},
        {"NOTIFY_SOCKET=" + dir_.File("notify"), "KELVOX_AUTOSTART_DIR=" + dir_.File("no-autostart"),
         "KELVOX_UPDATE_URL=http://127.0.0.1:1/version.html"},
        false, true, ""});
  }

  /// Fills the manager's queue, so that the program's next datagram blocks it
  /// until the test reads: the program can do nothing after an early READY=1.
  void FillQueue() {
    for (bool fresh_refused = false; !fresh_refused;) {
      const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0);
      fillers_.push_back(fd);
      const sockaddr_un address = Address();
      ASSERT_EQ(connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
      // A socket may run out of its own send room first; the queue is full
      // once a fresh one cannot send at all.
      for (int sent = 0;; ++sent) {
        if (send(fd, "FILL=1", 6, 0) < 0) {
          fresh_refused = sent == 0;
          break;
        }
      }
    }
  }

  /// The next datagram but the test's own fillers; empty at the deadline.
  std::string NextMessage() {
    char buf[4096];
    for (;;) {
      pollfd p{manager_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(kWait.count())) <= 0) return {};
      const ssize_t got = recv(manager_, buf, sizeof buf, 0);
      if (got < 0) return {};
      std::string message(buf, static_cast<std::size_t>(got));
      if (message != "FILL=1") return message;
    }
  }

  /// Reads the program's output until a line equal to `line`; false at the
  /// deadline or the end.
  bool WaitLine(const std::string& line) {
    const auto deadline = std::chrono::steady_clock::now() + kWait;
    for (;;) {
      for (std::size_t end; (end = output_.find('\n')) != std::string::npos;) {
        const bool found = output_.compare(0, end, line) == 0;
        output_.erase(0, end + 1);
        if (found) return true;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd p{kelvox_->Stdout(), POLLIN, 0};
      char buf[4096];
      ssize_t got = 0;
      if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0 ||
          (got = read(kelvox_->Stdout(), buf, sizeof buf)) <= 0) {
        return false;
      }
      output_.append(buf, static_cast<std::size_t>(got));
    }
  }

  std::string Status(int users) const {
    return "Listening on port " + std::to_string(port_) + ", " + std::to_string(users) + (users == 1 ? " user" : " users");
  }

  TTempDir dir_;
  const uint16_t port_ = FreeListenPort();
  const int manager_ = socket(AF_UNIX, SOCK_DGRAM, 0);
  std::vector<int> fillers_;
  std::unique_ptr<TChildProcess> kelvox_;
  std::string output_;

 private:
  sockaddr_un Address() const {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    dir_.File("notify").copy(address.sun_path, sizeof address.sun_path - 1);
    return address;
  }
};

TEST_F(TNotifiedKelvox, ReadyOnlyOnceListeningThenUsersReloadAndStop) {
  FillQueue();
  Launch();
  // The port accepts while READY=1 still waits in the program, blocked.
  ASSERT_TRUE(WaitLine("note: listening on port " + std::to_string(port_) + " (all interfaces)"));
  TEventLoop loop;
  TRawPeer user(loop, port_);
  ASSERT_TRUE(user.Connected());
  EXPECT_EQ(NextMessage(), "READY=1\nSTATUS=" + Status(0));
  EXPECT_EQ(NextMessage(), "STATUS=" + Status(1));

  kelvox_->Signal(SIGHUP);
  const std::string reloading = NextMessage();
  EXPECT_TRUE(reloading.starts_with("RELOADING=1\nMONOTONIC_USEC=")) << reloading;
  EXPECT_GT(reloading.find_first_not_of("0123456789", 27), reloading.size() - 1) << reloading;
  EXPECT_EQ(NextMessage(), "READY=1\nSTATUS=" + Status(1));

  kelvox_->Signal(SIGTERM);
  EXPECT_EQ(NextMessage(), "STOPPING=1\nSTATUS=Stopping");
  user.Close();
  EXPECT_EQ(kelvox_->WaitExit(kWait, [&loop] { loop.RunOnce(std::chrono::milliseconds(20)); }), 0);
}

TEST_F(TNotifiedKelvox, ReadyWithTheReasonWhenThePortIsTaken) {
  // The program serves its console on: the operator can start it later, so
  // the manager hears READY=1 and why nothing listens.
  const TRawListener holder;
  dir_.Write("Config.ini", "[Main]\r\nPort=" + holder.PortText() + "\r\nBeep=no\r\n");
  Launch();
  EXPECT_EQ(NextMessage(), "READY=1\nSTATUS=Not listening: Port " + holder.PortText() + " already used.");
  kelvox_->Signal(SIGTERM);
  EXPECT_EQ(NextMessage(), "STOPPING=1\nSTATUS=Stopping");
  EXPECT_EQ(kelvox_->WaitExit(kWait, [] {}), 0);
}

TEST(ServiceStatusText, SaysWhatListensAndHowManyUsers) {
  struct TRow {
    TServiceState State;
    const char* Text;
  };
  const TRow rows[] = {
      {{.Listening = true, .Port = 50, .Users = 3}, "Listening on port 50, 3 users"},
      {{.Listening = true, .Port = 50, .TlsPort = 6697, .TlsWanted = "6697", .Users = 1},
       "Listening on port 50 and TLS port 6697, 1 user"},
      {{.Listening = true, .Port = 50, .TlsWanted = "6697"}, "Listening on port 50 (TLS port 6697 failed), 0 users"},
      {{.StatusBar = "Listen on port: 50"}, "Not listening"},
      {{.StatusBar = "Port 50 already used."}, "Not listening: Port 50 already used."},
  };
  for (const TRow& row : rows) EXPECT_EQ(ServiceStatusText(row.State), row.Text);
}

}  // namespace
}  // namespace kelvox::test
