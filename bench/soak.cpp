// A soak: the kelvox program between 98 users and a real IRC server (ngircd),
// for a given time. Ninety users stay and chat in one channel; eight places
// churn: a user connects, gives the password, links with CONN, joins, says a
// line, and leaves with QUIT or with a reset. Every 10 s it prints the lines
// the staying users sent and received (none may be lost) and the program's RSS
// and open descriptors; at the end, those again once everybody has left.
//
//   bench_soak [seconds]   (default 60)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "config/password.h"
#include "net/event_loop.h"
#include "net/wsocket.h"

extern char** environ;

namespace {

using namespace kelvox;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kStaying = 90;
constexpr int kChurning = 8;
constexpr const char* kPassword = "soak";
constexpr milliseconds kChatEvery{1000};  // each staying user says a line this often
constexpr milliseconds kChurnEvery{250};  // one churning place moves on this often

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "bench_soak: %s\n", what.c_str());
  std::exit(1);
}

pid_t Spawn(const std::vector<std::string>& args, const std::string& output) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) Fail("cannot start " + args[0]);
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

uint16_t FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  socklen_t len = sizeof sa;
  getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  close(fd);
  return ntohs(sa.sin_port);
}

bool Listening(uint16_t port) {
  for (int i = 0; i < 500; ++i) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool up = connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    close(fd);
    if (up) return true;
    usleep(10000);
  }
  return false;
}

long RssKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return 0;
}

int OpenFiles(pid_t pid) {
  int count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
    ++count;
  }
  return count;
}

// One user of the bouncer: registers, links to the IRC server, joins #soak.
class TUser {
 public:
  TUser(TEventLoop& loop, uint16_t kelvox_port, uint16_t ircd_port, std::string nick, long& received)
      : socket_(loop), nick_(std::move(nick)), received_(received) {
    socket_.OnDataAvailable = [this, ircd_port](TWSocket* s, uint16_t) {
      std::string_view line;
      while (s->ReceiveLine(line)) Heard(line, ircd_port);
    };
    socket_.SetAddr("127.0.0.1");
    socket_.SetPort(std::to_string(kelvox_port));
    socket_.Connect();
  }

  bool Joined() const { return joined_ && socket_.State() == wsConnected; }
  /// Past the password (or gone): no longer one of those its address may keep waiting.
  bool Settled() const { return greeted_ || socket_.State() == wsClosed; }
  bool Gone() const { return socket_.State() == wsClosed; }
  void Say(long seq) { socket_.SendText("PRIVMSG #soak :" + nick_ + " " + std::to_string(seq) + "\r\n"); }
  void Quit() {
    if (socket_.State() == wsConnected) socket_.SendText("QUIT :bye\r\n");
    socket_.Close();
  }
  void Reset() { socket_.Abort(); }

 private:
  void Heard(std::string_view line, uint16_t ircd_port) {
    if (line.find("Enter your password.") != std::string_view::npos) {
      socket_.SendText(std::string("PASS ") + kPassword + "\r\n");
    } else if (!greeted_ && line.find("Use /quote CONN") != std::string_view::npos) {
      greeted_ = true;
      socket_.SendText("NICK " + nick_ + "\r\nUSER " + nick_ +
                       " 0 * :soak\r\nCONN 127.0.0.1:" + std::to_string(ircd_port) + "\r\n");
    } else if (line.find(" 001 ") != std::string_view::npos) {
      socket_.SendText("JOIN #soak\r\n");
    } else if (line.rfind(":" + nick_ + "!", 0) == 0 && line.find(" JOIN ") != std::string_view::npos) {
      joined_ = true;
    } else if (line.find(" PRIVMSG #soak :s") != std::string_view::npos) {
      ++received_;  // from a staying user: those are counted
    }
  }

  TWSocket socket_;
  std::string nick_;
  long& received_;
  bool greeted_ = false;
  bool joined_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
  signal(SIGPIPE, SIG_IGN);
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / ("kelvox-soak-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const uint16_t ircd_port = FreePort();
  const uint16_t kelvox_port = FreePort();
  std::ofstream(dir / "ngircd.conf") << "[Global]\n  Name = irc.soak.test\n  Info = soak\n  Listen = 127.0.0.1\n"
                                     << "  Ports = " << ircd_port << "\n  MotdPhrase = \"soak\"\n"
                                     << "[Limits]\n  MaxConnectionsIP = 0\n  MaxJoins = 0\n"
                                     << "[Options]\n  DNS = no\n  Ident = no\n  PAM = no\n";
  std::ofstream(dir / "Config.ini") << "[Main]\r\nPort=" << kelvox_port << "\r\nAutoStart=yes\r\nBeep=no\r\nMax=99\r\n"
                                    << "[Security]\r\nIdentification=yes\r\nPassword=" << ScramblePassword(kPassword)
                                    << "\r\n";
  const pid_t ircd = Spawn({"ngircd", "-n", "-f", (dir / "ngircd.conf").string()}, (dir / "ngircd.log").string());
  const char* binary = std::getenv("KELVOX_BINARY");
  const pid_t kelvox = Spawn({binary != nullptr ? binary : KELVOX_BINARY, "--config-dir", dir.string()},
                             (dir / "kelvox.out").string());
  TEventLoop loop;
  for (const uint16_t port : {ircd_port, kelvox_port}) {
    if (!Listening(port)) Fail("nothing listens on port " + std::to_string(port) + "; see " + dir.string());
  }
  const long rss_before = RssKiB(kelvox);
  const int files_before = OpenFiles(kelvox);

  long received = 0;  // by the staying users, from the staying users
  long ignored = 0;   // by the churning users
  std::vector<std::unique_ptr<TUser>> staying, churning(kChurning);
  std::mt19937 random(7);
  int made = 0;
  const auto make = [&](const std::string& nick) {
    ++made;
    return std::make_unique<TUser>(loop, kelvox_port, ircd_port, nick, nick[0] == 's' ? received : ignored);
  };
  // All users come from one address, which may keep only a few connections
  // waiting for their password at once: they arrive a few at a time.
  const auto waiting = [&] {
    return std::count_if(staying.begin(), staying.end(), [](auto& u) { return !u->Settled(); });
  };
  while (static_cast<int>(staying.size()) < kStaying) {
    if (waiting() < kChurning) staying.push_back(make("s" + std::to_string(staying.size())));
    loop.RunOnce(milliseconds(10));
  }
  if (!loop.RunUntil([&] { return std::all_of(staying.begin(), staying.end(), [](auto& u) { return u->Joined(); }); },
                     std::chrono::seconds(60))) {
    Fail("the staying users did not all join; see " + dir.string());
  }

  long said = 0, seq = 0, resets = 0, quits = 0;
  const auto start = Clock::now();
  auto next_chat = start, next_churn = start, next_report = start + std::chrono::seconds(10);
  const auto report = [&](const char* when) {
    std::printf("%-6s users %3d  said %7ld  heard %9ld of %9ld  kelvox RSS %6ld KiB  files %3d  connections made %d\n",
                when, kStaying + static_cast<int>(std::count_if(churning.begin(), churning.end(),
                                                                [](auto& u) { return u && !u->Gone(); })),
                said, received, said * (kStaying - 1), RssKiB(kelvox), OpenFiles(kelvox), made);
    std::fflush(stdout);
  };
  while (Clock::now() - start < std::chrono::seconds(seconds)) {
    loop.RunOnce(milliseconds(10));
    const auto now = Clock::now();
    if (now >= next_chat) {
      for (auto& user : staying) user->Say(seq++);
      said += kStaying;
      next_chat += kChatEvery;
    }
    if (now >= next_churn) {
      auto& place = churning[random() % kChurning];
      if (place && place->Joined()) {
        place->Say(seq++);
        if (random() % 2 == 0) {
          place->Quit();
          ++quits;
        } else {
          place->Reset();
          ++resets;
        }
      } else if (!place || place->Gone()) {
        place = make("c" + std::to_string(made));
      }
      next_churn += kChurnEvery;
    }
    if (now >= next_report) {
      report((std::to_string((now - start) / std::chrono::seconds(1)) + "s").c_str());
      next_report += std::chrono::seconds(10);
    }
  }
  // What is on its way arrives; then everybody leaves.
  loop.RunUntil([&] { return received >= said * (kStaying - 1); }, std::chrono::seconds(30));
  report("end");
  for (auto& user : staying) user->Quit();
  for (auto& user : churning) {
    if (user) user->Quit();
  }
  loop.RunUntil([&] { return false; }, std::chrono::seconds(7));  // the departures and the closer's wait
  staying.clear();
  churning.clear();
  const long lost = said * (kStaying - 1) - received;
  std::printf("\nchurn: %ld quits, %ld resets; lines lost: %ld\n", quits, resets, lost);
  std::printf("kelvox before the users: RSS %ld KiB, %d files; after they left: RSS %ld KiB, %d files\n", rss_before,
              files_before, RssKiB(kelvox), OpenFiles(kelvox));
  kill(kelvox, SIGTERM);
  kill(ircd, SIGTERM);
  waitpid(kelvox, nullptr, 0);
  waitpid(ircd, nullptr, 0);
  std::filesystem::remove_all(dir);
  return lost == 0 ? 0 : 1;
}
