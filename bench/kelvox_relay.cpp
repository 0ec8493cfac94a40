// What Kelvox costs on the relay path. A stand-in IRC server bursts PRIVMSG
// lines of about 100 bytes to one user, then echoes the user's PRIVMSGs one at
// a time; both are measured once with the user connected to the server directly
// and once through a bouncer that the user linked with CONN.
//
// Server, user and bouncer each run on a thread of their own with their own
// event loop, as three programs would.
//
//   bench_kelvox_relay [lines] [round-trips]   (default 1,000,000 and 20,000)
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "config/settings.h"
#include "console/console_model.h"
#include "engine/bouncer.h"
#include "net/wsocket.h"
#include "net/wsocket_server.h"

using namespace kelvox;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

namespace {

constexpr long kWindowLines = 20000;  // about 2 MB on their way at most

struct TFigures {
  double lines_per_s = 0;
  double mb_per_s = 0;
  double rtt_median_us = 0;
  double rtt_p99_us = 0;
};

// The IRC server: "BURST n" from its user brings n channel lines, any PRIVMSG
// comes back as a channel would echo it.
class TIrcServer {
 public:
  explicit TIrcServer(const std::atomic<long>& user_lines) : user_lines_(user_lines) {
    server_.SetAddr("127.0.0.1");
    server_.SetPort("0");
    server_.Listen();
    port_ = server_.BoundPort();
    server_.OnClientConnect = [this](TWSocketServer*, TWSocketClient* c, uint16_t) {
      c->OnDataAvailable = [this](TWSocket* s, uint16_t) { Read(s); };
    };
  }
  int Port() const { return port_; }
  void Run(const std::atomic<bool>& stop) {
    loop_.RunUntil([&] { return stop.load(); }, std::chrono::minutes(10));
  }

 private:
  void Read(TWSocket* s) {
    rest_ += s->ReceiveText();
    std::size_t lf;
    while ((lf = rest_.find('\n')) != std::string::npos) {
      const std::string line = rest_.substr(0, lf + 1);
      rest_.erase(0, lf + 1);
      if (line.rfind("BURST ", 0) == 0) Burst(s, std::atol(line.c_str() + 6));
      if (line.rfind("PRIVMSG", 0) == 0) s->SendText(":bench!bench@127.0.0.1 " + line);
    }
  }
  void Burst(TWSocket* s, long lines) {
    std::string line = ":nick!user@host.example PRIVMSG #kelvox :";
    line += std::string(100 - line.size() - 2, 'x') + "\r\n";
    const long base = user_lines_.load();
    long sent = 0;
    while (sent < lines && s->State() == wsConnected) {
      if (sent - (user_lines_.load() - base) >= kWindowLines) {
        loop_.RunOnce(milliseconds(1));  // the user catches up
        continue;
      }
      std::string batch;
      for (int i = 0; i < 100 && sent < lines; ++i, ++sent) batch += line;
      s->SendText(batch);
    }
  }

  const std::atomic<long>& user_lines_;
  TEventLoop loop_;
  TWSocketServer server_{loop_};
  int port_ = 0;
  std::string rest_;
};

// The user: connects, links through the bouncer when asked, then measures.
class TUser {
 public:
  TUser(std::atomic<long>& lines_seen, long lines, int round_trips)
      : lines_seen_(lines_seen), lines_(lines), round_trips_(round_trips) {
    sock_.OnDataAvailable = [this](TWSocket* s, uint16_t) {
      const std::string text = s->ReceiveText();
      if (counting_) {
        bytes_ += static_cast<long long>(text.size());
        lines_seen_ += std::count(text.begin(), text.end(), '\n');
      } else {
        text_ += text;
      }
    };
  }

  TFigures Run(int port, int ircd_port_to_link) {
    sock_.SetAddr("127.0.0.1");
    sock_.SetPort(std::to_string(port));
    sock_.Connect();
    loop_.RunUntil([&] { return sock_.State() == wsConnected; }, seconds(10));
    if (ircd_port_to_link > 0) {
      sock_.SendText("NICK bench\r\nUSER bench 0 * :Bench\r\nCONN 127.0.0.1:" + std::to_string(ircd_port_to_link) +
                     "\r\n");
      loop_.RunUntil([&] { return text_.find("Connected to the IRC server.") != std::string::npos; }, seconds(10));
    }
    TFigures figures;
    Burst(figures);
    RoundTrips(figures);
    sock_.Close();
    return figures;
  }

 private:
  void Burst(TFigures& figures) {
    const long target = lines_seen_.load() + lines_;
    counting_ = true;
    const auto start = Clock::now();
    sock_.SendText("BURST " + std::to_string(lines_) + "\r\n");
    loop_.RunUntil([&] { return lines_seen_.load() >= target; }, seconds(120));
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    counting_ = false;
    figures.lines_per_s = static_cast<double>(lines_) / elapsed;
    figures.mb_per_s = static_cast<double>(bytes_) / elapsed / 1e6;
  }

  void RoundTrips(TFigures& figures) {
    std::vector<double> micros;
    for (int i = 0; i < round_trips_; ++i) {
      text_.clear();
      const auto start = Clock::now();
      sock_.SendText("PRIVMSG #kelvox :round trip " + std::to_string(i) + "\r\n");
      loop_.RunUntil([&] { return text_.find('\n') != std::string::npos; }, seconds(10));
      micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    std::sort(micros.begin(), micros.end());
    figures.rtt_median_us = micros[micros.size() / 2];
    figures.rtt_p99_us = micros[micros.size() * 99 / 100];
  }

  std::atomic<long>& lines_seen_;
  long lines_;
  int round_trips_;
  TEventLoop loop_;
  TWSocket sock_{loop_};
  bool counting_ = false;
  long long bytes_ = 0;
  std::string text_;
};

void Print(const char* name, const TFigures& f) {
  std::printf("%-16s %12.0f %9.1f %16.1f %13.1f\n", name, f.lines_per_s, f.mb_per_s, f.rtt_median_us, f.rtt_p99_us);
}

}  // namespace

int main(int argc, char** argv) {
  const long lines = argc > 1 ? std::atol(argv[1]) : 1000000;
  const int round_trips = argc > 2 ? std::atoi(argv[2]) : 20000;

  char dir_template[] = "/tmp/kelvox-bench-XXXXXX";
  const std::string dir = std::string(mkdtemp(dir_template)) + "/";
  TEventLoop loop;
  TSettings settings(dir);
  settings.Port = "0";
  settings.Beep = false;
  TConsoleModel console(loop);
  TBouncer bouncer(loop, settings, console);
  bouncer.FormShow();
  bouncer.Button1Click();
  const int bouncer_port = bouncer.Server.BoundPort();

  std::atomic<long> lines_seen{0};
  std::atomic<bool> stop{false};
  std::atomic<int> ircd_port{0};
  std::thread ircd([&] {
    TIrcServer server(lines_seen);
    ircd_port = server.Port();
    server.Run(stop);
  });
  while (ircd_port.load() == 0) std::this_thread::yield();

  TFigures direct;
  TFigures relayed;
  std::atomic<bool> done{false};
  std::thread user([&] {
    direct = TUser(lines_seen, lines, round_trips).Run(ircd_port, 0);
    relayed = TUser(lines_seen, lines, round_trips).Run(bouncer_port, ircd_port);
    done = true;
  });
  loop.RunUntil([&] { return done.load(); }, std::chrono::minutes(10));
  user.join();
  stop = true;
  ircd.join();
  std::filesystem::remove_all(dir);

  std::printf("%ld lines of 100 bytes, %d round trips\n", lines, round_trips);
  std::printf("%-16s %12s %9s %16s %13s\n", "", "lines/s", "MB/s", "rtt median us", "rtt p99 us");
  Print("direct", direct);
  Print("through Kelvox", relayed);
  std::printf("Kelvox keeps %.0f%% of the direct line rate; its round trip is %.1fx the direct one\n",
              100.0 * relayed.lines_per_s / direct.lines_per_s, relayed.rtt_median_us / direct.rtt_median_us);
  return 0;
}
