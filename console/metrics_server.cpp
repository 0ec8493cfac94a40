#include "console/metrics_server.h"

#include <algorithm>
#include <memory>

namespace kelvox {

namespace {

std::string Reply(std::string_view status, std::string_view type, std::string_view body) {
  std::string reply;
  reply.append("HTTP/1.1 ").append(status).append("\r\n");
  reply.append("Content-Type: ").append(type).append("\r\n");
  reply.append("Content-Length: ").append(std::to_string(body.size())).append("\r\n");
  reply.append("Connection: close\r\n\r\n");
  reply.append(body);
  return reply;
}

std::string Refusal(std::string_view status) {
  return Reply(status, "text/plain", std::string(status.substr(status.find(' ') + 1)) + "\n");
}

// Where the request head ends (after its blank line), or npos while it goes on.
std::size_t HeadEnd(std::string_view bytes) {
  const std::size_t crlf = bytes.find("\r\n\r\n");
  const std::size_t lf = bytes.find("\n\n");
  if (crlf == std::string_view::npos && lf == std::string_view::npos) return std::string_view::npos;
  return std::min(crlf == std::string_view::npos ? crlf : crlf + 4, lf == std::string_view::npos ? lf : lf + 2);
}

}  // namespace

/// A connection with what it has sent of its request so far.
class TMetricsServer::TClient : public TWSocketClient {
 public:
  using TWSocketClient::TWSocketClient;
  std::string Request;
  TEventLoop::Clock::time_point OpenedAt;
  bool Answered = false;
};

TMetricsServer::TMetricsServer(TEventLoop& loop, std::function<std::string()> exposition)
    : exposition_(std::move(exposition)), server_(loop), watch_(loop) {
  server_.Name = "Metrics";
  server_.ClientType = [](TEventLoop& l) { return std::make_unique<TClient>(l); };
  server_.OnClientConnect = [this](TWSocketServer*, TWSocketClient* client, uint16_t) {
    Accepted(static_cast<TClient&>(*client));
  };
  watch_.OnTimer = [this](TTimer*) { Watch(); };
}

TMetricsServer::~TMetricsServer() = default;

void TMetricsServer::Serve(const std::string& port) {
  if (Serving() && port == server_.Port()) return;
  if (server_.State() != wsClosed) server_.Close();
  if (port.empty()) return;
  server_.SetProto("tcp");
  server_.SetAddr(kAddress);
  server_.SetPort(port);
  server_.Listen();
}

int TMetricsServer::Waiting() const {
  int waiting = 0;
  for (int i = 0; i < server_.ClientCount(); ++i) {
    if (server_.ClientAt(i)->State() == wsConnected) ++waiting;
  }
  return waiting;
}

void TMetricsServer::Accepted(TClient& client) {
  client.OpenedAt = TEventLoop::Clock::now();
  client.OnDataAvailable = [this](TWSocket* sender, uint16_t) { Read(static_cast<TClient&>(*sender)); };
  // One connection too many: the oldest still waiting goes, with a reset, so
  // that a flood of idle connections cannot keep a scraper out.
  if (Waiting() > Limits.Connections) {
    for (int i = 0; i < server_.ClientCount(); ++i) {
      if (TWSocketClient* oldest = server_.ClientAt(i); oldest->State() == wsConnected) {
        oldest->Abort();
        break;
      }
    }
  }
  if (!watch_.Enabled()) {
    const auto tick = std::clamp(Limits.RequestTime / 4, std::chrono::milliseconds(10), std::chrono::milliseconds(1000));
    watch_.SetInterval(static_cast<int>(tick.count()));
    watch_.SetEnabled(true);
  }
}

void TMetricsServer::Read(TClient& client) {
  if (client.Answered) return;
  client.Request += client.ReceiveText();
  const std::size_t end = HeadEnd(client.Request);
  if (end == std::string::npos) {
    if (client.Request.size() > Limits.RequestBytes) Respond(client, Refusal("431 Request Header Fields Too Large"));
    return;
  }
  Respond(client, end > Limits.RequestBytes ? Refusal("431 Request Header Fields Too Large")
                                            : Answer(std::string_view(client.Request).substr(0, end)));
}

std::string TMetricsServer::Answer(std::string_view head) const {
  const std::string_view line = head.substr(0, head.find_first_of("\r\n"));
  const std::size_t first = line.find(' ');
  const std::size_t second = first == std::string_view::npos ? first : line.find(' ', first + 1);
  if (second == std::string_view::npos || line.substr(second + 1).substr(0, 5) != "HTTP/") {
    return Refusal("400 Bad Request");
  }
  const std::string_view target = line.substr(first + 1, second - first - 1);
  if (line.substr(0, first) != "GET" || target.substr(0, target.find('?')) != "/metrics") {
    return Refusal("404 Not Found");
  }
  return Reply("200 OK", kContentType, exposition_());
}

void TMetricsServer::Respond(TClient& client, const std::string& answer) {
  client.Answered = true;
  std::string().swap(client.Request);
  client.SendText(answer);
  client.Close();
}

void TMetricsServer::Watch() {
  if (server_.ClientCount() == 0) return watch_.SetEnabled(false);
  const auto now = TEventLoop::Clock::now();
  for (int i = 0; i < server_.ClientCount(); ++i) {
    auto& client = static_cast<TClient&>(*server_.ClientAt(i));
    if (client.State() == wsConnected && !client.Answered && now - client.OpenedAt >= Limits.RequestTime) {
      Respond(client, Refusal("408 Request Timeout"));
    }
  }
}

}  // namespace kelvox
