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
#include <vector>

#include "access/address_checks.h"
#include "net/local_socket.h"
#include "engine/session.h"
#include "tests/support/child_process.h"
#include "tests/support/http_server.h"
#include "tests/support/loopback.h"
#include "tests/support/temp_dir.h"

namespace kelvox::test {
namespace {

class TKelvoxProcess {
 public:
  /// The program never reaches the machine's autostart folder nor the product's
  /// web site: both point into `config_dir` unless `env` ("NAME=value") says
  /// otherwise.
  explicit TKelvoxProcess(const std::string& config_dir, const std::vector<std::string>& env = {})
      : child_({{KELVOX_BINARY, "--config-dir", config_dir}, Environment(config_dir, env), true, true, ""}) {}

  void Type(const std::string& line) {
    const std::string bytes = line + "\n";
    EXPECT_EQ(write(child_.Stdin(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  void CloseInput() { child_.CloseInput(); }
  void Signal(int sig) { child_.Signal(sig); }

  /// Waits until the program listens, started with AutoStart.
  bool Listening() { return WaitLine("status 1: ONLINE") && Settle(); }

  /// Waits until every command typed so far has run: commands run in order, so
  /// the answer to a later one proves it (a start's listen included, which
  /// follows its "status 1: ONLINE").
  bool Settle() {
    Type("help");
    return WaitLine("about, website, help        about Kelvox, its web site, this list");
  }

  /// Reads output lines until one equals `line`, while the test's loop runs so
  /// that the test's own servers and users go on; false at the deadline or the end.
  bool WaitLine(TEventLoop& loop, const std::string& line) {
    bool found = false;
    bool ended = false;
    // Output wakes the loop; each turn then takes what has arrived.
    loop.Watch(child_.Stdout(), EPOLLIN, [](uint32_t) {});
    loop.RunUntil([&] { return (found = TakeLines(line, ended)) || ended; }, kWait);
    loop.Unwatch(child_.Stdout());
    return found;
  }
  bool WaitLine(const std::string& line) { return WaitLine(own_loop_, line); }

  /// The exit status; -1 if the program did not end in time. The test's loop
  /// runs meanwhile, so its users read what the program sends.
  int WaitExit(TEventLoop& loop) {
    return child_.WaitExit(kWait, [&loop] { loop.RunOnce(std::chrono::milliseconds(20)); });
  }

  const std::string& Seen() const { return seen_; }

 private:
  static std::vector<std::string> Environment(const std::string& config_dir, const std::vector<std::string>& env) {
    std::vector<std::string> all = {"KELVOX_AUTOSTART_DIR=" + config_dir + "no-autostart",
                                    "KELVOX_UPDATE_URL=http://127.0.0.1:1/version.html", "no_proxy=127.0.0.1"};
    all.insert(all.end(), env.begin(), env.end());  // the later entry of a name wins
    return all;
  }

  /// Takes the lines that have arrived, without waiting, up to one equal to `line`.
  bool TakeLines(const std::string& line, bool& ended) {
    for (;;) {
      std::size_t end;
      while ((end = buffered_.find('\n')) != std::string::npos) {
        const std::string got = buffered_.substr(0, end);
        buffered_.erase(0, end + 1);
        seen_ += got + "\n";
        if (got == line) return true;
      }
      pollfd p{child_.Stdout(), POLLIN, 0};
      if (poll(&p, 1, 0) <= 0) return false;
      char buf[4096];
      const ssize_t got = read(child_.Stdout(), buf, sizeof buf);
      if (got <= 0) {
        ended = true;
        return false;
      }
      buffered_.append(buf, static_cast<std::size_t>(got));
    }
  }

  TChildProcess child_;
  TEventLoop own_loop_;
  std::string buffered_;
  std::string seen_;
};

TEST(KelvoxProcessTest, GreetsAUserShowsItInTheGridAndQuitsAfterAsking) {
  TTempDir dir;
  const uint16_t port = FreeListenPort();
  dir.Write("Config.ini", "[Main]\r\nPort=" + std::to_string(port) + "\r\nBeep=no\r\n");
  TKelvoxProcess kelvox(dir.Path());
  kelvox.Type("start");
  ASSERT_TRUE(kelvox.WaitLine("status 1: ONLINE")) << kelvox.Seen();
  ASSERT_TRUE(kelvox.Settle()) << kelvox.Seen();

  TEventLoop loop;
  TRawPeer user(loop, port);
  ASSERT_TRUE(user.Connected());
  const std::string banner = BouncerNotice("*", GreetingBanner());
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
  const std::string stop = BouncerNotice("*", "   Disconnection - Bouncer is down.\r\n");
  ASSERT_GE(user.Received().size(), stop.size());
  EXPECT_EQ(user.Received().substr(user.Received().size() - stop.size()), stop);
  // Every start writes the configuration back whole.
  EXPECT_TRUE(dir.Exists("Banlist.conf"));
}

/// Config.ini for a program that listens on `port` at once.
std::string ListeningAtStart(uint16_t port, const std::string& more = "") {
  return "[Main]\r\nPort=" + std::to_string(port) + "\r\nAutoStart=yes\r\n" + more;
}

/// Writes that Config.ini, with a free port, into `dir`; the port.
uint16_t WriteListeningAtStart(const TTempDir& dir, const std::string& more = "") {
  const uint16_t port = FreeListenPort();
  dir.Write("Config.ini", ListeningAtStart(port, more));
  return port;
}

TEST(KelvoxProcessTest, KeepsServingAfterTheEndOfInputAndStopsOnSigterm) {
  TTempDir dir;
  const uint16_t port = WriteListeningAtStart(dir);
  TKelvoxProcess kelvox(dir.Path());
  ASSERT_TRUE(kelvox.Listening()) << kelvox.Seen();
  kelvox.Type("bogus");
  ASSERT_TRUE(kelvox.WaitLine("error: unknown command")) << kelvox.Seen();
  kelvox.CloseInput();

  TEventLoop loop;
  TRawPeer user(loop, port);
  ASSERT_TRUE(kelvox.WaitLine("users: 1")) << kelvox.Seen();
  kelvox.Signal(SIGTERM);
  EXPECT_EQ(kelvox.WaitExit(loop), 0);
  ASSERT_TRUE(loop.RunUntil([&] { return user.Eof(); }, kWait));
  const std::string stop = BouncerNotice("*", "   Disconnection - Bouncer is down.\r\n");
  ASSERT_GE(user.Received().size(), stop.size());
  EXPECT_EQ(user.Received().substr(user.Received().size() - stop.size()), stop);
}

// Stopped with users linked and sending, one of whom reads nothing more: the
// closed connections hold the end back, commands typed meanwhile are refused,
// and a second SIGTERM ends the wait.
TEST(KelvoxProcessTest, ShutdownUnderLoadEndsCleanlyAndASecondSigtermHurriesIt) {
  TTempDir dir;
  const uint16_t port = WriteListeningAtStart(dir, "Beep=no\r\n");
  TKelvoxProcess kelvox(dir.Path());
  ASSERT_TRUE(kelvox.Listening()) << kelvox.Seen();
  TEventLoop loop;
  TRawListener irc;
  std::vector<std::unique_ptr<TRawPeer>> users, servers;
  const std::string lines = [] {
    std::string text;
    while (text.size() < 512 * 1024) text += "PRIVMSG #load :" + std::string(80, 'x') + "\r\n";
    return text;
  }();
  for (int i = 0; i < 4; ++i) {
    users.push_back(std::make_unique<TRawPeer>(loop, port));
    users.back()->Send("NICK u" + std::to_string(i) + "\r\nUSER u 0 * :u\r\nCONN 127.0.0.1:" + irc.PortText() + "\r\n");
    ASSERT_TRUE(loop.RunUntil([&] { return users.back()->Received().find("Connected to the IRC") != std::string::npos; },
                              kWait));
    servers.push_back(std::make_unique<TRawPeer>(loop, irc.Accept(), true));
    users.back()->Queue(lines);
    servers.back()->Queue(lines);
  }
  users.front()->StopReading();
  kelvox.Signal(SIGTERM);
  ASSERT_TRUE(kelvox.WaitLine(loop, "status 1: OFFLINE")) << kelvox.Seen();
  kelvox.Type("status");
  kelvox.Type("kill 1");
  kelvox.Type("start");
  ASSERT_TRUE(kelvox.WaitLine(loop, "error: shutting down")) << kelvox.Seen();
  kelvox.Signal(SIGTERM);
  EXPECT_EQ(kelvox.WaitExit(loop), 0) << kelvox.Seen();
}

// SIGHUP reads the settings again and they are in force at once; nobody connected
// is dropped.
TEST(KelvoxProcessTest, SighupAppliesAChangedMaxAndBanListToTheNextUsersOnly) {
  TTempDir dir;
  const uint16_t port = FreeListenPort();
  const std::string config = ListeningAtStart(port, "Beep=no\r\nMax=");
  dir.Write("Config.ini", config + "5\r\n");
  TKelvoxProcess kelvox(dir.Path());
  ASSERT_TRUE(kelvox.Listening()) << kelvox.Seen();
  TEventLoop loop;
  TRawPeer first(loop, port);
  TRawPeer second(loop, port);
  ASSERT_TRUE(kelvox.WaitLine(loop, "users: 2")) << kelvox.Seen();
  const auto refused = [&](const std::string& notice) {
    TRawPeer next(loop, port);
    EXPECT_TRUE(loop.RunUntil([&] { return next.Eof(); }, kWait));
    EXPECT_EQ(next.Received(), BouncerNotice("*", notice));
  };

  dir.Write("Config.ini", config + "2\r\n");
  kelvox.Signal(SIGHUP);
  ASSERT_TRUE(kelvox.WaitLine(loop, "settings reloaded")) << kelvox.Seen();
  refused("   Too many connections, bye.\r\n");
  dir.Write("Config.ini", config + "10\r\n");
  // A user of this machine is judged under the machine's own address.
  dir.Write("Banlist.conf", TAddressChecks().ConvertLocalIp("127.0.0.1") + "\r\n");
  kelvox.Signal(SIGHUP);
  ASSERT_TRUE(kelvox.WaitLine(loop, "settings reloaded")) << kelvox.Seen();
  refused("   You are banned, Bye.\r\n");

  for (TRawPeer* user : {&first, &second}) {
    user->Send("PING :here\r\n");
    ASSERT_TRUE(loop.RunUntil([&] { return user->Received().find("PONG :here\r\n") != std::string::npos; }, kWait));
    EXPECT_FALSE(user->Eof());
  }
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
  EXPECT_EQ(run("--console --start").first, 2);
  TTempDir none;
  const std::string folder = none.Path().substr(0, none.Path().size() - 1);
  EXPECT_EQ(run("--console --config-dir " + folder),
            std::make_pair(1, "kelvox: no Kelvox is running with the settings in " + folder + "\n"));
}

// Consoles attached over the control socket: while a question waits for one,
// the lines of the others wait behind it, the program's own console's too.
TEST(KelvoxProcessTest, AQuestionHoldsTheOtherConsolesLinesUntilItsConsoleAnswers) {
  TTempDir dir;
  const uint16_t port = WriteListeningAtStart(dir, "Beep=no\r\n");
  TKelvoxProcess kelvox(dir.Path());
  ASSERT_TRUE(kelvox.Listening()) << kelvox.Seen();
  TEventLoop loop;
  TRawPeer user(loop, port);
  ASSERT_TRUE(kelvox.WaitLine(loop, "users: 1")) << kelvox.Seen();
  TRawPeer asking(loop, ConnectLocal(dir.File("kelvox.sock")), true);
  TRawPeer other(loop, ConnectLocal(dir.File("kelvox.sock")), true);
  const auto has = [&](TRawPeer& console, const std::string& text) {
    return loop.RunUntil([&] { return console.Received().find(text) != std::string::npos; }, kWait);
  };

  asking.Send("shutdown\n");
  ASSERT_TRUE(has(asking, "ask: Are you sure you want to exit Kelvox ? Some users are connected.\n"));
  // Both reach the program before the answer: its socket and standard input
  // take them at once.
  other.Send("status\n");
  kelvox.Type("grid");
  asking.Send("ok\n");
  ASSERT_TRUE(has(other, "error: shutting down\n")) << other.Received();
  EXPECT_EQ(other.Received().find("status 1: ONLINE"), std::string::npos) << other.Received();
  ASSERT_TRUE(kelvox.WaitLine(loop, "error: shutting down")) << kelvox.Seen();
  EXPECT_EQ(kelvox.WaitExit(loop), 0) << kelvox.Seen();
  EXPECT_EQ(kelvox.Seen().find("ask:"), std::string::npos) << kelvox.Seen();
  EXPECT_TRUE(loop.RunUntil([&] { return asking.Eof() && other.Eof(); }, kWait));
  EXPECT_FALSE(dir.Exists("kelvox.sock"));
}

TEST(KelvoxProcessTest, ConfigCommandsEditTheSettingsAndTheStartAtLogonEntry) {
  TTempDir dir;
  TTempDir autostart;
  const uint16_t port = FreeListenPort();
  dir.Write("Config.ini", "[Main]\r\nPort=" + std::to_string(port) + "\r\n");
  TKelvoxProcess kelvox(dir.Path(), {"KELVOX_AUTOSTART_DIR=" + autostart.Path()});
  ASSERT_TRUE(kelvox.WaitLine("status 0: Listen on port: " + std::to_string(port))) << kelvox.Seen();
  kelvox.Type("start");
  ASSERT_TRUE(kelvox.WaitLine("status 1: ONLINE")) << kelvox.Seen();

  kelvox.Type("config set WindowsStart yes");
  kelvox.Type("config add ban  10.0.0.5 ");
  kelvox.Type("config set Port 6000");
  ASSERT_TRUE(kelvox.WaitLine("status 0: Listen on port: 6000")) << kelvox.Seen();
  // The entry starts this very program.
  EXPECT_NE(autostart.Read("kelvox.desktop").find("\nExec=" + std::string(KELVOX_BINARY) + "\n"), std::string::npos);
  kelvox.Type("config ok");
  ASSERT_TRUE(kelvox.WaitLine("status 0: New listen port, restart the bouncer.")) << kelvox.Seen();
  EXPECT_NE(dir.Read("Config.ini").find("\r\nPort=6000\r\n"), std::string::npos);
  EXPECT_NE(dir.Read("Config.ini").find("\r\nWindowsStart=yes\r\n"), std::string::npos);
  EXPECT_EQ(dir.Read("Banlist.conf"), " 10.0.0.5 \r\n");

  // The listener stays where it was.
  ASSERT_TRUE(kelvox.Settle()) << kelvox.Seen();
  TEventLoop loop;
  TRawPeer user(loop, port);
  ASSERT_TRUE(user.Connected());
  ASSERT_TRUE(kelvox.WaitLine("users: 1")) << kelvox.Seen();

  kelvox.Type("config set WindowsStart no");
  kelvox.Type("config set Admin password x");
  kelvox.Type("config ok");
  ASSERT_TRUE(kelvox.WaitLine("error: Check Admin password.")) << kelvox.Seen();
  EXPECT_FALSE(autostart.Exists("kelvox.desktop"));
}

TEST(KelvoxProcessTest, AnEmptyPortAtStartIsShown) {
  TTempDir dir;
  dir.Write("Config.ini", "[Main]\r\nPort=\r\n");
  TKelvoxProcess kelvox(dir.Path());
  ASSERT_TRUE(kelvox.WaitLine("status 0: Listen port already in used.")) << kelvox.Seen();
}

TEST(KelvoxProcessTest, UpdateAsksThePageNamedByTheEnvironment) {
  TTempDir dir;
  TEventLoop loop;
  THttpServer server(loop);
  server.Responder = [](const std::string&, std::size_t) { return THttpServer::Response(200, "OK", "version=2.6;"); };
  TKelvoxProcess kelvox(dir.Path(), {"KELVOX_UPDATE_URL=" + server.Url()});
  kelvox.Type("update");
  ASSERT_TRUE(kelvox.WaitLine(loop, "update: Searching...")) << kelvox.Seen();
  ASSERT_TRUE(kelvox.WaitLine(loop, "update: You ve got the last release.")) << kelvox.Seen();
  ASSERT_TRUE(kelvox.WaitLine(loop, "update: http://www.kelvox.net/")) << kelvox.Seen();
  EXPECT_EQ(server.Heads().size(), 1u);

  // The default address of these tests refuses: the failure is told.
  TKelvoxProcess offline(dir.Path());
  offline.Type("update");
  ASSERT_TRUE(offline.WaitLine("update: Update check failed.")) << offline.Seen();
  offline.Type("quit");
  EXPECT_EQ(offline.WaitExit(loop), 0);
}

}  // namespace
}  // namespace kelvox::test
