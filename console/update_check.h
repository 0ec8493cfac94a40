// The update check: on the operator's request, fetch the version page in the
// background and tell the operator, through the console's update window,
// whether a release newer than this one exists. Nothing is downloaded.
#pragma once

#include <atomic>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "console/http_get.h"
#include "net/alive.h"
#include "net/event_loop.h"

namespace kelvox {

class TConsole;

class TUpdateCheck {
 public:
  static constexpr const char* kUserAgent = "Quenmark WinInet Component";
  static constexpr long kConnectTimeoutMs = 30000;

  /// `url` is the version page (see UpdateUrl).
  TUpdateCheck(TEventLoop& loop, TConsole& console, std::string url);
  /// Cancels the requests still running and waits for their threads.
  ~TUpdateCheck();
  TUpdateCheck(const TUpdateCheck&) = delete;
  TUpdateCheck& operator=(const TUpdateCheck&) = delete;

  /// Check: cancels the request still running, shows "Searching..." alone and
  /// starts a new request on a thread of its own; returns at once. Only the
  /// newest check's answer reaches AdvHttpRequestComplete.
  void Recherchedemisejour1Click();

  /// Request complete, on the event thread. Only a page served with status 200
  /// that names a version decides: "New version available" (with a beep) for
  /// any version but this one, "You ve got the last release." for this one.
  /// Any other answer, and a request that failed, shows "Update check failed.".
  /// The web site's address follows the answer as its link.
  void AdvHttpRequestComplete(const THttpAnswer& answer);

  /// Requests whose threads have not ended yet, cancelled ones included.
  int RunningRequests() const;

  /// The version a page names: the text between its first "version=" and the
  /// next ";", empty when no ";" follows; nullopt when the page holds no
  /// "version=". The page counts up to its first NUL byte.
  static std::optional<std::string> PageVersion(std::string_view body);

 private:
  struct TRequest {
    std::atomic<bool> Cancelled{false};
    std::atomic<bool> Finished{false};
    std::thread Worker;
  };

  void Start();
  /// Joins the threads that have ended.
  void Reap();

  TEventLoop& loop_;
  TConsole& console_;
  const std::string url_;
  uint64_t generation_ = 0;  // the newest check
  std::list<std::unique_ptr<TRequest>> requests_;
  TAlive alive_;  // for an answer that comes after the end
};

/// The version page to fetch: KELVOX_UPDATE_URL when it is set and not empty,
/// otherwise the product's own.
std::string UpdateUrl();

}  // namespace kelvox
