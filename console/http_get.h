// One HTTP GET, blocking, for a worker thread: the update check's reader. Built
// on libcurl; the system's proxy settings (http_proxy, https_proxy, no_proxy)
// apply, redirects are followed between http and https, and TLS certificates are
// verified.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>

namespace kelvox {

struct THttpRequest {
  std::string Url;
  std::string UserAgent;
  long ConnectTimeoutMs = 30000;
  /// A transfer that moves no byte for this long is given up.
  long StallTimeoutMs = 30000;
  /// A longer body ends the request as failed.
  std::size_t MaxBody = 1 << 20;
};

struct THttpAnswer {
  /// The server answered and the whole body arrived, whatever the status.
  bool Received = false;
  long Status = 0;
  std::string Body;
};

/// Fetches the page, asking every cache on the way to pass the request on to
/// the server. A request that fails (no such host, refused, timed out, a bad
/// certificate, cancelled) comes back not Received. `cancelled` is watched
/// while connecting and between reads; once it holds, the request ends soon.
/// Safe to call from several threads at once.
THttpAnswer HttpGet(const THttpRequest& request, const std::atomic<bool>& cancelled);

}  // namespace kelvox
