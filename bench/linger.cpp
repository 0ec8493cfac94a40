// Lingering sessions in the kelvox program, run as a process of its own: the
// memory a session holds while no client is attached, the time a returning
// client takes to get what it missed, and the memory given back once the
// sessions end. For `Linger lines` at 2000 (the factory value) and at 20000
// (the most), a kelvox of its own each: users link to a stand-in IRC server
// (threads of this program) with CONN ... linger=KEY and leave. Once every
// session has sent its AWAY, the server sends each a tenth more 400-byte lines
// than its ring holds, then a PING, which the bouncer answers once it has read
// them all. RSS comes from /proc, each time a moment after the last event, when
// freed heap has been given back. A few users come back and time their replay,
// from the CONN line sent to the bouncer's notice of what was held; then the
// operator's stop ends the sessions.
//
//   bench_linger [sessions] [replays]   (default 20 and 5)
//
// KELVOX_BINARY names another kelvox program to measure instead of this tree's.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_io.h"

namespace {

using namespace kelvox_bench;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr std::size_t kLine = 400;  // bytes per line, CR LF included
constexpr std::size_t kRingSizes[] = {2000, 20000};
constexpr std::string_view kDetached = "AWAY :Detached from the bouncer";
constexpr std::string_view kClosed = "QUIT :Session closed by the bouncer";
// How long an awaited event may take on a loaded machine before the run fails.
constexpr seconds kPatience{300};

/// The RSS of the process a moment after the last event: the bouncer trims
/// freed heap two seconds after a large release.
long SettledRss(pid_t pid) {
  std::this_thread::sleep_for(milliseconds(3000));
  return RssKiB(pid);
}

// --- the stand-in IRC server ----------------------------------------------------

// Welcomes each link and counts the times a session detaches (the bouncer's
// AWAY). Once told to fill, it sends each session, the first time it detaches,
// `lines` lines and a PING, and counts the answers; it counts the sessions the bouncer closed with its
// QUIT as well.
class TLingerServer {
 public:
  explicit TLingerServer(std::size_t lines) : lines_(lines), listen_fd_(ListenOn(port_)) {
    acceptor_ = std::thread([this] { AcceptLoop(); });
  }
  /// Once the bouncer has closed every link.
  ~TLingerServer() {
    shutdown(listen_fd_, SHUT_RDWR);
    acceptor_.join();
    for (std::thread& thread : links_) thread.join();
    close(listen_fd_);
  }
  TLingerServer(const TLingerServer&) = delete;
  TLingerServer& operator=(const TLingerServer&) = delete;

  uint16_t Port() const { return port_; }
  /// Returns once sessions have detached `count` times in all.
  void WaitDetached(int count) { Await("sessions detached", [&] { return detached_ >= count; }); }
  /// Sends each detached session its lines; returns once `count` have read them.
  void FillAndWait(int count) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      fill_ = true;
    }
    changed_.notify_all();
    Await("sessions filled", [&] { return filled_ >= count; });
  }
  /// Returns once `count` sessions have been closed by the bouncer.
  void WaitEnded(int count) { Await("sessions ended", [&] { return ended_ >= count; }); }

 private:
  void Await(const std::string& what, const std::function<bool()>& done) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!changed_.wait_for(lock, kPatience, done)) Fail("waited too long for the " + what);
  }
  void Count(int& counter) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      ++counter;
    }
    changed_.notify_all();
  }

  void AcceptLoop() {
    for (;;) {
      const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) return;
      const std::lock_guard<std::mutex> lock(mutex_);
      links_.emplace_back([this, fd] { Serve(fd); });
    }
  }

  void Serve(int fd) {
    TLineReader in(fd);
    std::string line, nick = "user";
    bool capping = false, user_waits = false, filled = false, closed = false;
    const auto welcome = [&] {
      WriteAll(fd, ":bench 001 " + nick + " :Welcome\r\n:bench 005 " + nick +
                       " NETWORK=bench :are supported by this server\r\n");
    };
    while (in.ReadLine(line)) {
      if (line.starts_with("PING ")) {
        WriteAll(fd, "PONG" + line.substr(4) + "\r\n");
      } else if (line.starts_with("CAP LS")) {
        capping = true;
        WriteAll(fd, ":bench CAP * LS :\r\n");
      } else if (line == "CAP END") {
        capping = false;
        if (user_waits) welcome();
      } else if (line.starts_with("NICK ")) {
        nick = line.substr(5);
      } else if (line.starts_with("USER ")) {
        user_waits = capping;
        if (!capping) welcome();
      } else if (line == kDetached) {
        Count(detached_);
        if (filled) continue;  // detached again after an attach
        filled = true;
        {
          std::unique_lock<std::mutex> lock(mutex_);
          changed_.wait(lock, [this] { return fill_; });
        }
        // A tenth more than the ring holds: the oldest are dropped.
        SendNumbered(fd, ":bench!b@h PRIVMSG " + nick + " :", kLine, static_cast<long>(lines_ + lines_ / 10));
        WriteAll(fd, "PING :filled\r\n");
      } else if (line == "PONG :filled") {
        Count(filled_);
      } else if (line == kClosed) {
        closed = true;
      }
    }
    close(fd);
    if (closed) Count(ended_);
  }

  std::size_t lines_;
  uint16_t port_ = 0;
  int listen_fd_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::thread acceptor_;
  std::vector<std::thread> links_;  // one per link
  bool fill_ = false;
  int detached_ = 0, filled_ = 0, ended_ = 0;
};

// --- a user of the bouncer ------------------------------------------------------

class TUser {
 public:
  /// Connects and registers with the bouncer as `nick`; returns once welcomed by it.
  TUser(uint16_t kelvox_port, const std::string& nick) : fd_(ConnectTo(kelvox_port)), in_(fd_) {
    if (fd_ < 0) Fail("cannot connect to port " + std::to_string(kelvox_port));
    const timeval limit{static_cast<time_t>(kPatience.count()), 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    WriteAll(fd_, "NICK " + nick + "\r\nUSER " + nick + " 0 * :bench\r\n");
    WaitFor("Welcome to Kelvox");
  }
  ~TUser() { close(fd_); }
  TUser(const TUser&) = delete;
  TUser& operator=(const TUser&) = delete;

  /// Opens the lingering session; returns once the IRC server has welcomed it.
  void Link(const std::string& conn) {
    WriteAll(fd_, "CONN " + conn + "\r\n");
    std::string line;
    while (Read(line) && line.find(":bench 001 ") == std::string::npos) {
      if (line.find("   Linger refused") != std::string::npos) Fail("no lingering session: \"" + line + "\"");
    }
  }
  /// Attaches to the session: seconds from the CONN line sent to the notice
  /// after the held lines, which must be `held`, `dropped` of them dropped.
  double Replay(const std::string& conn, std::size_t held, std::size_t dropped) {
    const auto start = Clock::now();
    WriteAll(fd_, "CONN " + conn + "\r\n");
    std::size_t lines = 0;
    std::string line;
    while (Read(line) && line.find("   Linger: ") == std::string::npos) {
      if (line.find(" PRIVMSG ") != std::string::npos) ++lines;
    }
    const double took = Seconds(start);
    const std::string told = "   Linger: " + std::to_string(held) + " lines held while no client was attached, " +
                             std::to_string(dropped) + " dropped.";
    if (lines != held || !line.ends_with(told)) {
      Fail("replayed " + std::to_string(lines) + " lines, then \"" + line + "\"");
    }
    return took;
  }

 private:
  bool Read(std::string& line) {
    if (!in_.ReadLine(line)) Fail("the bouncer closed a user's connection or kept it waiting");
    return true;
  }
  void WaitFor(const std::string& text) {
    std::string line;
    while (Read(line) && line.find(text) == std::string::npos) {
    }
  }

  int fd_;
  TLineReader in_;
};

// --- a run of the kelvox program with one size of ring ------------------------------

struct TRun {
  int replays = 0;  // sessions attached again
  long no_session = 0, linked = 0, detached = 0, full = 0, replayed = 0, left = 0, stopped = 0;  // RSS, KiB
  std::vector<double> replay_s;  // sorted
};

TRun Measure(std::size_t lines, int sessions, int replays) {
  TLingerServer irc(lines);
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("kelvox-linger-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const uint16_t kelvox_port = FreePort();
  std::ofstream(dir / "Config.ini") << "[Main]\r\nBeep=no\r\nAutoStart=yes\r\nMax=99\r\nPort=" << kelvox_port
                                    << "\r\n[Security]\r\nIdentification=no\r\n[Linger]\r\nLinger minutes=60\r\n"
                                    << "Linger lines=" << lines << "\r\n";
  int console[2];
  if (pipe2(console, O_CLOEXEC) != 0) Fail("no pipe for the console");
  const char* binary = std::getenv("KELVOX_BINARY");
  const pid_t kelvox = Spawn({binary != nullptr ? binary : KELVOX_BINARY, "--config-dir", dir.string()}, console[0]);
  close(console[0]);
  WaitListening(kelvox_port);
  const auto conn = [&](int i) {
    return "127.0.0.1:" + std::to_string(irc.Port()) + " linger=bench-key-" + std::to_string(1000 + i);
  };

  TRun run;
  run.no_session = SettledRss(kelvox);
  {
    std::vector<std::unique_ptr<TUser>> users;
    for (int i = 0; i < sessions; ++i) {
      users.push_back(std::make_unique<TUser>(kelvox_port, "linger" + std::to_string(i)));
      users.back()->Link(conn(i));
    }
    run.linked = SettledRss(kelvox);
  }
  irc.WaitDetached(sessions);
  run.detached = SettledRss(kelvox);
  irc.FillAndWait(sessions);
  run.full = SettledRss(kelvox);

  // Back under another nick, as a client that comes back does; then gone
  // again, so that the stop below ends detached sessions only and what it
  // gives back is theirs.
  run.replays = std::min(replays, sessions);
  {
    std::vector<std::unique_ptr<TUser>> back;
    for (int i = 0; i < run.replays; ++i) {
      back.push_back(std::make_unique<TUser>(kelvox_port, "back" + std::to_string(i)));
      run.replay_s.push_back(back.back()->Replay(conn(i), lines, lines / 10));
    }
    std::sort(run.replay_s.begin(), run.replay_s.end());
    run.replayed = SettledRss(kelvox);
  }
  irc.WaitDetached(sessions + run.replays);
  run.left = SettledRss(kelvox);

  const std::string_view stop = "stop\n";  // the operator's stop, typed at the console
  if (write(console[1], stop.data(), stop.size()) != static_cast<ssize_t>(stop.size())) {
    Fail("the console took no stop");
  }
  irc.WaitEnded(sessions);
  run.stopped = SettledRss(kelvox);
  close(console[1]);
  Stop(kelvox);
  std::filesystem::remove_all(dir);
  return run;
}

}  // namespace

int main(int argc, char** argv) {
  const int sessions = argc > 1 ? std::atoi(argv[1]) : 20;
  const int replays = argc > 2 ? std::atoi(argv[2]) : 5;
  if (sessions < 1 || replays < 1) Fail("usage: bench_linger [sessions] [replays]");
  signal(SIGPIPE, SIG_IGN);

  std::vector<TRun> runs;
  for (const std::size_t lines : kRingSizes) runs.push_back(Measure(lines, sessions, replays));

  std::printf("Lingering sessions: %d per run, lines of %zu bytes (CR LF included), a tenth more sent than held\n\n",
              sessions, kLine);
  const auto row = [&](const std::string& name, const std::function<std::string(const TRun&, std::size_t)>& cell) {
    std::printf("%-44s", name.c_str());
    for (std::size_t i = 0; i < runs.size(); ++i) std::printf(" %16s", cell(runs[i], kRingSizes[i]).c_str());
    std::printf("\n");
  };
  const auto number = [](double value, const char* format = "%.0f") {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return std::string(text);
  };
  const auto rss = [&](const std::string& name, long TRun::*field) {
    row(name, [&](const TRun& run, std::size_t) { return number(static_cast<double>(run.*field)); });
  };
  const std::string n = std::to_string(sessions);
  const int r = runs.front().replays;
  row("Linger lines", [&](const TRun&, std::size_t lines) { return std::to_string(lines); });
  rss("kelvox RSS, KiB: no session", &TRun::no_session);
  rss("  " + n + " users linked", &TRun::linked);
  rss("  the users gone, " + n + " sessions detached", &TRun::detached);
  rss("  every ring full", &TRun::full);
  rss("  " + std::to_string(r) + " of them attached again", &TRun::replayed);
  rss("  their clients gone, detached again", &TRun::left);
  rss("  after the operator's stop", &TRun::stopped);
  const auto held = [&](const TRun& run) { return static_cast<double>(run.full - run.detached); };
  row("held per session, KiB", [&](const TRun& run, std::size_t) { return number(held(run) / sessions, "%.1f"); });
  row("held per line, bytes", [&](const TRun& run, std::size_t lines) {
    return number(held(run) * 1024 / static_cast<double>(sessions) / static_cast<double>(lines));
  });
  // The rings the stop ended: those not emptied by an attach.
  row("given back by the stop, KiB (% of held)", [&](const TRun& run, std::size_t) {
    const double back = static_cast<double>(run.left - run.stopped);
    return number(back) + " (" + number(back * 100 / (held(run) * (sessions - run.replays) / sessions)) + "%)";
  });
  row("replay, ms: median", [&](const TRun& run, std::size_t) { return number(run.replay_s[r / 2] * 1000, "%.1f"); });
  row("replay, ms: fastest-slowest of " + std::to_string(r), [&](const TRun& run, std::size_t) {
    return number(run.replay_s.front() * 1000, "%.1f") + "-" + number(run.replay_s.back() * 1000, "%.1f");
  });
  row("replay, lines/s: median", [&](const TRun& run, std::size_t lines) {
    return number(static_cast<double>(lines) / run.replay_s[r / 2]);
  });
  return 0;
}
