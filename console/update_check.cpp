#include "console/update_check.h"

#include <cstdlib>
#include <system_error>
#include <utility>

#include "base/web_site.h"
#include "engine/console.h"

namespace kelvox {

namespace {

constexpr const char* kSearching = "Searching...";
constexpr const char* kNewVersion = "New version available";
constexpr const char* kUpToDate = "You ve got the last release.";
constexpr const char* kFailed = "Update check failed.";

}  // namespace

TUpdateCheck::TUpdateCheck(TEventLoop& loop, TConsole& console, std::string url)
    : loop_(loop), console_(console), url_(std::move(url)) {}

TUpdateCheck::~TUpdateCheck() {
  for (const auto& request : requests_) request->Cancelled = true;
  for (const auto& request : requests_) request->Worker.join();
}

void TUpdateCheck::Recherchedemisejour1Click() {
  Reap();
  for (const auto& request : requests_) request->Cancelled = true;
  ++generation_;
  console_.SetUpdateText(kSearching, "");
  try {
    Start();
  } catch (const std::system_error&) {
    // No thread for the request: the check has failed, and says so.
    AdvHttpRequestComplete(THttpAnswer{});
  }
}

void TUpdateCheck::Start() {
  auto request = std::make_unique<TRequest>();
  TRequest* const running = request.get();
  THttpRequest http;
  http.Url = url_;
  http.UserAgent = kUserAgent;
  http.ConnectTimeoutMs = kConnectTimeoutMs;
  // The worker touches nothing of this object but its own request record, which
  // lives until the worker has been joined; the answer travels by value to the
  // event thread, where it is dropped if this object has gone meanwhile.
  running->Worker = std::thread([this, loop = &loop_, running, http, generation = generation_,
                                 alive = alive_.Watch()] {
    THttpAnswer answer = HttpGet(http, running->Cancelled);
    if (!running->Cancelled) {
      loop->PostFromThread([this, generation, alive, answer = std::move(answer)] {
        if (alive.Gone()) return;
        Reap();
        if (generation == generation_) AdvHttpRequestComplete(answer);
      });
    }
    running->Finished = true;
  });
  requests_.push_back(std::move(request));
}

void TUpdateCheck::Reap() {
  for (auto it = requests_.begin(); it != requests_.end();) {
    if ((*it)->Finished) {
      (*it)->Worker.join();
      it = requests_.erase(it);
    } else {
      ++it;
    }
  }
}

int TUpdateCheck::RunningRequests() const {
  int running = 0;
  for (const auto& request : requests_) running += request->Finished ? 0 : 1;
  return running;
}

std::optional<std::string> TUpdateCheck::PageVersion(std::string_view body) {
  body = body.substr(0, body.find('\0'));
  static constexpr std::string_view kKey = "version=";
  const std::size_t key = body.find(kKey);
  if (key == std::string_view::npos) return std::nullopt;
  const std::string_view rest = body.substr(key + kKey.size());
  const std::size_t end = rest.find(';');
  return end == std::string_view::npos ? std::string() : std::string(rest.substr(0, end));
}

void TUpdateCheck::AdvHttpRequestComplete(const THttpAnswer& answer) {
  const std::optional<std::string> version =
      answer.Received && answer.Status == 200 ? PageVersion(answer.Body) : std::nullopt;
  if (!version) {
    console_.SetUpdateText(kFailed, std::string(kWebSite));
  } else if (*version != kThisVersion) {
    console_.SetUpdateText(kNewVersion, std::string(kWebSite));
    console_.PlayBeep();
  } else {
    console_.SetUpdateText(kUpToDate, std::string(kWebSite));
  }
}

std::string UpdateUrl() {
  const char* url = std::getenv("KELVOX_UPDATE_URL");
  return url != nullptr && *url != '\0' ? url : std::string(kVersionPage);
}

}  // namespace kelvox
