// The program as a new user first meets it: the settings folder it picks, the
// notes after its start output, --help, and the README's run command run by a
// user without root.
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>

#include "engine/session.h"
#include "tests/support/child_process.h"
#include "tests/support/loopback.h"
#include "tests/support/temp_dir.h"

namespace kelvox::test {
namespace {

const std::string kListening = "note: listening on port ";

/// A program whose output the test reads line by line as it comes.
class TProgram {
 public:
  TProgram(std::vector<std::string> argv, std::vector<std::string> env)
      : child_({std::move(argv), std::move(env), true, true, ""}) {}

  void Type(const std::string& line) { EXPECT_GT(write(child_.Stdin(), (line + "\n").data(), line.size() + 1), 0); }
  void Signal(int sig) { child_.Signal(sig); }
  const std::string& Seen() const { return seen_; }

  /// The next line that begins with `prefix`; nothing at the output's end or after `limit`.
  std::optional<std::string> WaitLine(const std::string& prefix, std::chrono::milliseconds limit = kWait) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      for (std::size_t end; (end = buffered_.find('\n')) != std::string::npos;) {
        const std::string line = buffered_.substr(0, end);
        buffered_.erase(0, end + 1);
        seen_ += line + "\n";
        if (line.compare(0, prefix.size(), prefix) == 0) return line;
      }
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd ready{child_.Stdout(), POLLIN, 0};
      char bytes[4096];
      ssize_t got = 0;
      if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0 ||
          (got = read(child_.Stdout(), bytes, sizeof bytes)) <= 0) {
        return std::nullopt;
      }
      buffered_.append(bytes, static_cast<std::size_t>(got));
    }
  }

  /// Reads the output to its end; the exit status, -1 when the program does not end.
  int Finish() {
    while (WaitLine("\n")) {
    }
    TEventLoop loop;
    return child_.WaitExit(kWait, [&loop] { loop.RunOnce(std::chrono::milliseconds(20)); });
  }

 private:
  TChildProcess child_;
  std::string buffered_;
  std::string seen_;
};

bool Port50Refused() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  const sockaddr_in any{AF_INET, htons(50), {}, {}};
  const bool refused = bind(fd, reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0 && errno == EACCES;
  close(fd);
  return refused;
}

void ExpectGreeting(int port) {
  TEventLoop loop;
  TRawPeer user(loop, static_cast<uint16_t>(port));
  const std::string banner = BouncerNotice("*", GreetingBanner());
  ASSERT_TRUE(loop.RunUntil([&] { return user.Received().size() >= banner.size(); }, kWait));
  EXPECT_EQ(user.Received().substr(0, banner.size()), banner);
}

TEST(FirstRunTest, SettingsGoToTheUsersFolderOrBesideAPortableCopyAndTheNotesSayWhatNext) {
  TTempDir dir;
  // A copy of its own, so that no Config.ini beside the built program counts.
  std::filesystem::create_directory(dir.File("bin"));
  const std::string program = dir.File("bin/kelvox");
  std::filesystem::copy_file(KELVOX_BINARY, program);
  const auto first_start = [&](const std::vector<std::string>& env, const std::string& folder) {
    TProgram kelvox({program}, env);
    EXPECT_TRUE(kelvox.WaitLine("note: type help for the commands"));
    kelvox.Type("quit");
    EXPECT_EQ(kelvox.Finish(), 0);
    EXPECT_TRUE(std::filesystem::exists(folder + "Banlist.conf")) << folder;
    return kelvox.Seen();
  };

  const std::string port = Port50Refused() ? "5050" : "50";
  const std::string notes =
      "status 0: Listen on port: " + port + "\nnote: settings in " + dir.Path() + "xdg/kelvox/Config.ini\n" +
      (port == "50" ? "" : "note: ports below 1024 need root; the new settings listen on port 5050\n") +
      "note: not listening; type start to open port " + port +
      "\nnote: the administrator password is the factory one (tolvin): change it with config set Admin password "
      "NEW, config set Admin password confirmation NEW, config ok (NEW: at most 10 characters)\n"
      "note: type help for the commands\n";
  const std::string seen = first_start({"XDG_CONFIG_HOME=" + dir.Path() + "xdg"}, dir.Path() + "xdg/kelvox/");
  EXPECT_NE(seen.find(notes), std::string::npos) << seen;
  EXPECT_NE(dir.Read("xdg/kelvox/Config.ini").find("\r\nPort=" + port + "\r\n"), std::string::npos);
  // Without an absolute XDG_CONFIG_HOME: the home's .config, made with its parents.
  first_start({"XDG_CONFIG_HOME=relative", "HOME=" + dir.Path() + "home"}, dir.Path() + "home/.config/kelvox/");

  // A Config.ini beside the program keeps the settings there; --start listens
  // although AutoStart is off; a changed administrator password goes unmentioned.
  const uint16_t free_port = FreeListenPort();
  dir.Write("bin/Config.ini", "[Main]\r\nPort=" + std::to_string(free_port) + "\r\nAutoStart=no\r\n");
  TProgram portable({program, "--start"}, {"XDG_CONFIG_HOME=" + dir.Path() + "xdg"});
  EXPECT_EQ(portable.WaitLine(kListening), kListening + std::to_string(free_port) + " (all interfaces)");
  ASSERT_TRUE(portable.WaitLine("note: type help for the commands")) << portable.Seen();
  EXPECT_NE(portable.Seen().find("note: settings in " + dir.Path() + "bin/Config.ini\n"), std::string::npos);
  EXPECT_EQ(portable.Seen().find("factory"), std::string::npos) << portable.Seen();
  ExpectGreeting(free_port);
  portable.Signal(SIGTERM);
  EXPECT_EQ(portable.Finish(), 0);
}

TEST(FirstRunTest, HelpTellsTheOptionsTheFolderAndTheCommandsAndAFolderThatCannotBeMadeEndsTheStart) {
  TTempDir dir;
  TProgram help({KELVOX_BINARY, "--help", "--config-dir", dir.Path() + "mine"}, {});
  EXPECT_EQ(help.Finish(), 0);
  const std::vector<std::string> texts = {
      "usage: kelvox [--config-dir DIR] [--start] [--console] [--make-cert] [--version] [--help]\n",
      "\n  --start           open the listening port",
      "$XDG_CONFIG_HOME/kelvox",
      "$HOME/.config/kelvox",
      "\nSettings of this run: " + dir.Path() + "mine/Config.ini\n",
      "\n  config set KEY VALUE  "};
  for (const std::string& text : texts) {
    EXPECT_NE(help.Seen().find(text), std::string::npos) << text << " in\n" << help.Seen();
  }
  EXPECT_FALSE(dir.Exists("mine"));

  dir.Write("file", "");
  TProgram bad({"sh", "-c", std::string(KELVOX_BINARY) + " --config-dir " + dir.Path() + "file/sub 2>&1"}, {});
  EXPECT_EQ(bad.Finish(), 1);
  EXPECT_EQ(bad.Seen(), "kelvox: cannot create the settings folder " + dir.Path() + "file/sub/: Not a directory\n");
}

// The README's run command as a user without root: a release build from scratch
// into a folder of that user's, the settings in that user's home, a client served.
TEST(FirstRunTest, TheRunCommandServesAClientForAUserWithoutRoot) {
  TTempDir dir;
  std::vector<std::string> argv;  // what runs a command as that user
  bool low_ports_refused = Port50Refused();
  if (geteuid() == 0) {
    const passwd* nobody = getpwnam("nobody");
    const group* nogroup = getgrnam("nogroup");
    if (nobody == nullptr || nogroup == nullptr) GTEST_SKIP() << "no user nobody or group nogroup to run as";
    argv = {"setpriv", "--reuid=" + std::to_string(nobody->pw_uid), "--regid=" + std::to_string(nogroup->gr_gid),
            "--clear-groups"};
    ASSERT_EQ(chown(dir.Path().c_str(), nobody->pw_uid, nogroup->gr_gid), 0);
    std::vector<std::string> check = argv;
    check.insert(check.end(), {"sh", "-c", "test -r '" KELVOX_SOURCE_DIR "scripts/run.sh' && echo readable"});
    TProgram readable(check, {});
    if (!readable.WaitLine("readable")) GTEST_SKIP() << "setpriv missing or " KELVOX_SOURCE_DIR " unreadable by nobody";
    int first_free = 1024;
    std::ifstream("/proc/sys/net/ipv4/ip_unprivileged_port_start") >> first_free;
    low_ports_refused = first_free > 50;
  }
  argv.insert(argv.end(), {"bash", "-c", "cd '" KELVOX_SOURCE_DIR "' && exec bash scripts/run.sh"});
  const std::string home = dir.Path() + "home/";
  const auto began = std::chrono::steady_clock::now();
  TProgram kelvox(argv, {"HOME=" + home, "XDG_CONFIG_HOME=" + home + ".config", "KELVOX_BUILD_DIR=" + dir.Path() + "b",
                         "CMAKE_BUILD_PARALLEL_LEVEL=2"});
  const auto listening = kelvox.WaitLine(kListening, std::chrono::minutes(30));
  ASSERT_TRUE(listening) << kelvox.Seen();
  std::cout << "built and listening after " << std::chrono::round<std::chrono::seconds>(
                                                     std::chrono::steady_clock::now() - began).count() << " s\n";
  const int port = std::stoi(listening->substr(kListening.size()));
  EXPECT_EQ(port, low_ports_refused ? 5050 : 50);
  EXPECT_NE(kelvox.Seen().find("note: settings in " + home + ".config/kelvox/Config.ini\n"), std::string::npos);
  ExpectGreeting(port);

  if (low_ports_refused) {
    EXPECT_NE(kelvox.Seen().find("note: ports below 1024 need root; the new settings listen on port 5050\n"),
              std::string::npos);
    kelvox.Type("config set Port 50");
    kelvox.Type("config ok");
    kelvox.Type("stop");
    kelvox.Type("start");
    EXPECT_TRUE(kelvox.WaitLine("status 0: Port 50: Permission denied. Ports below 1024 need root: config set Port "
                                "5050, config ok, then start"))
        << kelvox.Seen();
  }
  kelvox.Signal(SIGTERM);
  EXPECT_EQ(kelvox.Finish(), 0);
}

}  // namespace
}  // namespace kelvox::test
