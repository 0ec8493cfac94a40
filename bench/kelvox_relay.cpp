// What Kelvox costs on the relay path. A stand-in IRC server bursts PRIVMSG
// lines of about 100 bytes to one user, then echoes a user's PRIVMSGs back one
// at a time; both are measured once with the user connected to the server
// directly and once through a bouncer that the user linked with CONN.
//
// The server and the user run on a thread of their own with their own event
// loop; the bouncer runs on the main thread, as it does in the program.
//
//   bench_kelvox_relay [lines] [round-trips]   (default 1,000,000 and 20,000)
#include <stdlib.h>
#include <unistd.h>

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

namespace {

struct TFigures {
  double lines_per_s = 0;
  double mb_per_s = 0;
  double rtt_median_us = 0;
  double rtt_p99_us = 0;
};

// The IRC server and its one user, driven on the calling thread.
class TEndpoints {
 public:
  TEndpoints(long lines, int round_trips) : lines_(lines), round_trips_(round_trips) {
    server_.SetAddr("127.0.0.1");
    server_.SetPort("0");
    server_.Listen();
    server_.OnClientConnect = [this](TWSocketServer*, TWSocketClient* c, uint16_t) {
      link_ = c;
      c->OnDataAvailable = [this](TWSocket* s, uint16_t) { ServerRead(s); };
    };
    user_.OnDataAvailable = [this](TWSocket* s, uint16_t) { UserRead(s); };
  }

  int ServerPort() const { return server_.BoundPort(); }

  /// Connects the user to `port`; through a bouncer, it registers and links to
  /// this server first.
  TFigures Run(int port, bool through_bouncer) {
    user_.SetAddr("127.0.0.1");
    user_.SetPort(std::to_string(port));
    user_.Connect();
    if (through_bouncer) {
      loop_.RunUntil([&] { return user_.State() == wsConnected; }, std::chrono::seconds(10));
      user_.SendText("NICK bench\r\nUSER bench 0 * :Bench\r\nCONN 127.0.0.1:" + std::to_string(ServerPort()) + "\r\n");
      loop_.RunUntil([&] { return received_text_.find("Connected to the IRC server.") != std::string::npos; },
                     std::chrono::seconds(10));
    }
    loop_.RunUntil([&] { return link_ != nullptr && user_.State() == wsConnected; }, std::chrono::seconds(10));
    loop_.RunUntil([&] { return received_text_.find("USER bench") != std::string::npos || !through_bouncer; },
                   std::chrono::milliseconds(200));
    received_text_.clear();
    TFigures figures;
    Burst(figures);
    RoundTrips(figures);
    user_.Close();
    link_->Close();
    loop_.RunUntil([&] { return server_.ClientCount() == 0; }, std::chrono::seconds(10));
    link_ = nullptr;
    return figures;
  }

 private:
  void Burst(TFigures& figures) {
    std::string line = ":nick!user@host.example PRIVMSG #kelvox :";
    line += std::string(100 - line.size() - 2, 'x') + "\r\n";
    received_lines_ = 0;
    received_bytes_ = 0;
    counting_ = true;
    const auto start = Clock::now();
    long sent = 0;
    while (sent < lines_) {
      // At most about 2 MB on their way: a burst, not a flood of one queue.
      while (sent < lines_ && sent - received_lines_ < 20000) {
        std::string batch;
        for (int i = 0; i < 100 && sent < lines_; ++i, ++sent) batch += line;
        link_->SendText(batch);
      }
      loop_.RunOnce(std::chrono::milliseconds(10));
    }
    loop_.RunUntil([&] { return received_lines_ >= lines_; }, std::chrono::seconds(120));
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    counting_ = false;
    figures.lines_per_s = static_cast<double>(received_lines_) / seconds;
    figures.mb_per_s = static_cast<double>(received_bytes_) / seconds / 1e6;
  }

  void RoundTrips(TFigures& figures) {
    std::vector<double> micros;
    micros.reserve(static_cast<std::size_t>(round_trips_));
    for (int i = 0; i < round_trips_; ++i) {
      const std::string text = "PRIVMSG #kelvox :round trip " + std::to_string(i);
      received_text_.clear();
      const auto start = Clock::now();
      user_.SendText(text + "\r\n");
      loop_.RunUntil([&] { return received_text_.find('\n') != std::string::npos; }, std::chrono::seconds(10));
      micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    std::sort(micros.begin(), micros.end());
    figures.rtt_median_us = micros[micros.size() / 2];
    figures.rtt_p99_us = micros[micros.size() * 99 / 100];
  }

  // The server echoes every line back to the user, as a channel would.
  void ServerRead(TWSocket* s) {
    server_rest_ += s->ReceiveText();
    std::size_t lf;
    while ((lf = server_rest_.find('\n')) != std::string::npos) {
      const std::string line = server_rest_.substr(0, lf + 1);
      server_rest_.erase(0, lf + 1);
      if (line.rfind("PRIVMSG", 0) == 0) s->SendText(":bench!bench@127.0.0.1 " + line);
    }
  }

  void UserRead(TWSocket* s) {
    const std::string text = s->ReceiveText();
    if (counting_) {
      received_bytes_ += static_cast<long long>(text.size());
      received_lines_ += std::count(text.begin(), text.end(), '\n');
    } else {
      received_text_ += text;
    }
  }

  long lines_;
  int round_trips_;
  TEventLoop loop_;
  TWSocketServer server_{loop_};
  TWSocket user_{loop_};
  TWSocketClient* link_ = nullptr;
  std::string server_rest_;
  std::string received_text_;
  bool counting_ = false;
  long received_lines_ = 0;
  long long received_bytes_ = 0;
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

  TFigures direct;
  TFigures relayed;
  std::atomic<bool> done{false};
  std::thread endpoints([&] {
    {
      TEndpoints ends(lines, round_trips);
      direct = ends.Run(ends.ServerPort(), false);
    }
    TEndpoints ends(lines, round_trips);
    relayed = ends.Run(bouncer_port, true);
    done = true;
  });
  loop.RunUntil([&] { return done.load(); }, std::chrono::minutes(10));
  endpoints.join();
  std::filesystem::remove_all(dir);

  std::printf("%ld lines of 100 bytes, %d round trips\n", lines, round_trips);
  std::printf("%-16s %12s %9s %16s %13s\n", "", "lines/s", "MB/s", "rtt median us", "rtt p99 us");
  Print("direct", direct);
  Print("through Kelvox", relayed);
  std::printf("Kelvox keeps %.0f%% of the direct line rate; its round trip is %.1fx the direct one\n",
              100.0 * relayed.lines_per_s / direct.lines_per_s, relayed.rtt_median_us / direct.rtt_median_us);
  return 0;
}
