// Pushes IRC-sized lines through a connected TWSocket pair on loopback, one Send
// per line and one ReceiveLine per line as the relay does, and reports lines/s
// and MB/s at the receiving end.
//
//   bench_line_relay [lines]     (default 1,000,000)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "net/wsocket.h"
#include "net/wsocket_server.h"

using namespace kelvox;

int main(int argc, char** argv) {
  const long total = argc > 1 ? std::atol(argv[1]) : 1000000;
  std::string line = ":nick!user@host.example PRIVMSG #kelvox :";
  line += std::string(100 - line.size() - 2, 'x') + "\r\n";

  TEventLoop loop;
  TWSocketServer server(loop);
  server.SetAddr("127.0.0.1");
  server.SetPort("0");
  server.Listen();

  long received_lines = 0;
  long long received_bytes = 0;
  server.OnClientConnect = [&](TWSocketServer*, TWSocketClient* client, uint16_t) {
    client->OnDataAvailable = [&](TWSocket* sender, uint16_t) {
      std::string_view text;
      while (sender->ReceiveLine(text)) {
        received_bytes += static_cast<long long>(text.size()) + 2;
        ++received_lines;
      }
    };
  };

  TWSocket sender(loop);
  sender.SetAddr("127.0.0.1");
  sender.SetPort(std::to_string(server.BoundPort()));
  sender.Connect();
  const auto ready = [&] { return sender.State() == wsConnected && server.ClientCount() == 1; };
  if (!loop.RunUntil(ready, std::chrono::seconds(10))) {
    std::fprintf(stderr, "connection failed\n");
    return 1;
  }

  const auto start = std::chrono::steady_clock::now();
  long sent = 0;
  while (sent < total) {
    const long batch = std::min(1000L, total - sent);
    for (long i = 0; i < batch; ++i) sender.SendText(line);
    sent += batch;
    // Let the receiver catch up whenever the sender runs ahead.
    do {
      loop.RunOnce(std::chrono::milliseconds(0));
    } while (sender.BufferedBytes() > 1024 * 1024);
  }
  if (!loop.RunUntil([&] { return received_lines >= total; }, std::chrono::seconds(60))) {
    std::fprintf(stderr, "only %ld of %ld lines arrived\n", received_lines, total);
    return 1;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("lines: %ld of %zu bytes in %.3f s\n", received_lines, line.size(), seconds);
  std::printf("lines/s: %.0f\n", static_cast<double>(received_lines) / seconds);
  std::printf("MB/s: %.1f\n", static_cast<double>(received_bytes) / seconds / 1e6);
  return 0;
}
