// The metrics' HTTP server: `GET /metrics` on the loopback address, answered
// with the figures in the Prometheus text format, on the event loop like every
// other socket. It only ever answers one request a connection and closes it,
// so a scraper that is slow, or one that never finishes its request, costs a
// bounded buffer and one of a bounded number of connections, for a bounded
// time, and never holds up the bouncer.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "net/event_loop.h"
#include "net/wsocket_server.h"

namespace kelvox {

class TMetricsServer {
 public:
  /// The only address it listens on.
  static constexpr const char* kAddress = "127.0.0.1";
  static constexpr const char* kContentType = "text/plain; version=0.0.4";

  struct TLimits {
    /// The request line and headers; more without their end is refused (431).
    std::size_t RequestBytes = 8 * 1024;
    /// From the connect to the request's end; then 408 and the close.
    std::chrono::milliseconds RequestTime = std::chrono::seconds(10);
    /// Connections open at once; one more closes the oldest.
    int Connections = 32;
  };

  /// `exposition` makes the body of each answer to GET /metrics.
  TMetricsServer(TEventLoop& loop, std::function<std::string()> exposition);
  ~TMetricsServer();
  TMetricsServer(const TMetricsServer&) = delete;
  TMetricsServer& operator=(const TMetricsServer&) = delete;

  TLimits Limits;

  /// Serves at the port (decimal text), or stops for an empty one. Nothing
  /// happens while it serves that port already; the connections of a port
  /// left go on to their answer. Raises ESocketException when the port cannot
  /// be had, and then serves none.
  void Serve(const std::string& port);
  bool Serving() const { return server_.State() == wsListening; }
  /// The port served (the OS's choice for "0"); 0 while it serves none.
  int BoundPort() const { return Serving() ? server_.BoundPort() : 0; }
  /// Connections still waiting for their answer.
  int Waiting() const;

  /// The whole answer to a request head (its request line and headers): 200
  /// with the body for GET /metrics (a query is ignored), 404 for any other
  /// method or path, 400 for what is no request line.
  std::string Answer(std::string_view head) const;

 private:
  class TClient;

  void Accepted(TClient& client);
  void Read(TClient& client);
  /// Sends the answer and closes: the answer leaves through the socket's
  /// output, its last bytes delivered by the loop's closer.
  void Respond(TClient& client, const std::string& answer);
  /// Closes what has waited past the time limit.
  void Watch();

  std::function<std::string()> exposition_;
  TWSocketServer server_;
  TTimer watch_;
};

}  // namespace kelvox
