// The kelvox program as an operator runs it: commands on standard input, console
// lines on standard output, a user on a real connection.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "engine/session.h"
#include "tests/support/loopback.h"
#include "tests/support/temp_dir.h"

namespace kelvox::test {
namespace {

using Clock = std::chrono::steady_clock;

// A port nothing listens on at this moment, for the program to take.
uint16_t FreePort() {
  uint16_t port = 0;
  close(BindLoopback(port));
  return port;
}

class TKelvoxProcess {
 public:
  explicit TKelvoxProcess(const std::string& config_dir) {
    int in[2];
    int out[2];
    EXPECT_EQ(pipe2(in, O_CLOEXEC), 0);
    EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], STDIN_FILENO);
      dup2(out[1], STDOUT_FILENO);
      execl(KELVOX_BINARY, KELVOX_BINARY, "--config-dir", config_dir.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    stdin_ = in[1];
    stdout_ = out[0];
  }
  ~TKelvoxProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (stdin_ >= 0) close(stdin_);
    close(stdout_);
  }

  void Type(const std::string& line) {
    const std::string bytes = line + "\n";
    EXPECT_EQ(write(stdin_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

  void CloseInput() {
    close(stdin_);
    stdin_ = -1;
  }
  void Signal(int sig) { kill(pid_, sig); }

  /// Reads output lines until one equals `line`; false at the deadline or the end.
  bool WaitLine(const std::string& line) {
    const auto deadline = Clock::now() + kWait;
    for (;;) {
      std::size_t end;
      while ((end = buffered_.find('\n')) != std::string::npos) {
        const std::string got = buffered_.substr(0, end);
        buffered_.erase(0, end + 1);
        seen_ += got + "\n";
        if (got == line) return true;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      pollfd p{stdout_, POLLIN, 0};
      if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
      char buf[4096];
      const ssize_t got = read(stdout_, buf, sizeof buf);
      if (got <= 0) return false;
      buffered_.append(buf, static_cast<std::size_t>(got));
    }
  }

  /// The exit status, waiting at most until the deadline; -1 if it did not end.
  /// The test's loop runs meanwhile, so its users read what the program sends.
  int WaitExit(TEventLoop& loop) {
    int status = 0;
    const bool ended = loop.RunUntil([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, kWait);
    if (!ended) return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  const std::string& Seen() const { return seen_; }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
  std::string buffered_;
  std::string seen_;
};

TEST(KelvoxProcessTest, GreetsAUserShowsItInTheGridAndQuitsAfterAsking) {
  TTempDir dir;
  const uint16_t port = FreePort();
  dir.Write("Config.ini", "[Main]\r\nPort=" + std::to_string(port) + "\r\nBeep=no\r\n");
  TKelvoxProcess kelvox(dir.Path());
  kelvox.Type("start");
  ASSERT_TRUE(kelvox.WaitLine("status 1: ONLINE")) << kelvox.Seen();

  TEventLoop loop;
  TRawPeer user(loop, port);
  const std::string banner = BouncerNotice("   Kelvox v2.6 by Vostrand - " + std::string(kWebHost) + "\r\n");
  ASSERT_TRUE(loop.RunUntil([&] { return user.Received().size() >= banner.size(); }, kWait));
  EXPECT_EQ(user.Received().substr(0, banner.size()), banner);
  ASSERT_TRUE(kelvox.WaitLine("users: 1")) << kelvox.Seen();

  kelvox.Type("grid");
  ASSERT_TRUE(kelvox.WaitLine("Identification\tStatus\tIrc server\tTime\tTag")) << kelvox.Seen();
  kelvox.Type("quit");
  ASSERT_TRUE(kelvox.WaitLine("ask: Are you sure you want to exit Kelvox ? Some users are connected."))
      << kelvox.Seen();
  EXPECT_NE(kelvox.Seen().find("\tWaiting...\t\t"), std::string::npos) << kelvox.Seen();
  kelvox.Type("ok");
  EXPECT_EQ(kelvox.WaitExit(loop), 0);
  ASSERT_TRUE(loop.RunUntil([&] { return user.Eof(); }, kWait));
  const std::string stop = BouncerNotice("   Disconnection - Bouncer is down.\r\n");
  ASSERT_GE(user.Received().size(), stop.size());
  EXPECT_EQ(user.Received().substr(user.Received().size() - stop.size()), stop);
  // Every start writes the configuration back whole.
  EXPECT_TRUE(dir.Exists("Banlist.conf"));
}

TEST(KelvoxProcessTest, KeepsServingAfterTheEndOfInputAndStopsOnSigterm) {
  TTempDir dir;
  const uint16_t port = FreePort();
  dir.Write("Config.ini", "[Main]\r\nPort=" + std::to_string(port) + "\r\nAutoStart=yes\r\n");
  TKelvoxProcess kelvox(dir.Path());
  ASSERT_TRUE(kelvox.WaitLine("status 1: ONLINE")) << kelvox.Seen();
  kelvox.Type("bogus");
  ASSERT_TRUE(kelvox.WaitLine("error: unknown command")) << kelvox.Seen();
  kelvox.CloseInput();

  TEventLoop loop;
  TRawPeer user(loop, port);
  ASSERT_TRUE(kelvox.WaitLine("users: 1")) << kelvox.Seen();
  kelvox.Signal(SIGTERM);
  EXPECT_EQ(kelvox.WaitExit(loop), 0);
  ASSERT_TRUE(loop.RunUntil([&] { return user.Eof(); }, kWait));
  const std::string stop = BouncerNotice("   Disconnection - Bouncer is down.\r\n");
  ASSERT_GE(user.Received().size(), stop.size());
  EXPECT_EQ(user.Received().substr(user.Received().size() - stop.size()), stop);
}

TEST(KelvoxProcessTest, VersionHelpAndBadOptions) {
  const auto run = [](const std::string& args) {
    const std::string command = std::string(KELVOX_BINARY) + " " + args + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    std::string out;
    char buf[512];
    while (fgets(buf, sizeof buf, pipe) != nullptr) out += buf;
    const int status = pclose(pipe);
    return std::make_pair(WEXITSTATUS(status), out);
  };
  EXPECT_EQ(run("--version"), std::make_pair(0, std::string("Kelvox v2.6\n")));
  EXPECT_EQ(run("--help").first, 0);
  const auto bad = run("--frobnicate");
  EXPECT_EQ(bad.first, 2);
  EXPECT_NE(bad.second.find("usage: kelvox"), std::string::npos);
  EXPECT_EQ(run("--config-dir").first, 2);
}

}  // namespace
}  // namespace kelvox::test
