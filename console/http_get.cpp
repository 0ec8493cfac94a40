#include "console/http_get.h"

#include <curl/curl.h>

#include <memory>
#include <mutex>

namespace kelvox {

namespace {

struct TTransfer {
  std::string Body;
  std::size_t MaxBody = 0;
  const std::atomic<bool>* Cancelled = nullptr;
};

size_t Receive(char* data, size_t size, size_t count, void* user) {
  auto* transfer = static_cast<TTransfer*>(user);
  const size_t bytes = size * count;
  // Returning less than was offered makes libcurl end the request as failed.
  if (transfer->Body.size() + bytes > transfer->MaxBody) return 0;
  transfer->Body.append(data, bytes);
  return bytes;
}

int Progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<TTransfer*>(user)->Cancelled->load() ? 1 : 0;
}

struct TEasyDeleter {
  void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct TListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

}  // namespace

THttpAnswer HttpGet(const THttpRequest& request, const std::atomic<bool>& cancelled) {
  // libcurl's global set-up must not race with any other use of it.
  static std::once_flag global_init;
  std::call_once(global_init, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });

  THttpAnswer answer;
  const std::unique_ptr<CURL, TEasyDeleter> easy(curl_easy_init());
  if (!easy) return answer;
  curl_slist* headers = curl_slist_append(nullptr, "Cache-Control: no-cache");
  headers = headers != nullptr ? curl_slist_append(headers, "Pragma: no-cache") : nullptr;
  const std::unique_ptr<curl_slist, TListDeleter> no_cache(headers);
  if (!no_cache) return answer;

  TTransfer transfer;
  transfer.MaxBody = request.MaxBody;
  transfer.Cancelled = &cancelled;
  CURL* e = easy.get();
  curl_easy_setopt(e, CURLOPT_URL, request.Url.c_str());
  curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(e, CURLOPT_USERAGENT, request.UserAgent.c_str());
  curl_easy_setopt(e, CURLOPT_HTTPHEADER, no_cache.get());
  curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, request.ConnectTimeoutMs);
  // Without a limit a server that stops sending would keep the check searching.
  curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME, (request.StallTimeoutMs + 999) / 1000);
  curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(e, CURLOPT_MAXREDIRS, 10L);
  curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
  // Signals belong to the program, not to a worker thread's time-outs.
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(e, CURLOPT_BUFFERSIZE, 16384L);
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, Receive);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, Progress);
  curl_easy_setopt(e, CURLOPT_XFERINFODATA, &transfer);

  if (curl_easy_perform(e) != CURLE_OK || cancelled.load()) return answer;
  long status = 0;
  curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &status);
  answer.Received = true;
  answer.Status = status;
  answer.Body = std::move(transfer.Body);
  return answer;
}

}  // namespace kelvox
