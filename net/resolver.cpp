#include "net/resolver.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "net/os_socket.h"
#include "net/wsocket_errors.h"

namespace kelvox {

// What the workers share with the resolver, kept alive by whoever holds it
// last: the queue of names, and the way back to the loop while there is one.
struct TResolver::TShared {
  struct TJob {
    uint64_t id;
    std::string name;
  };
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<TJob> jobs;
  std::size_t workers = 0;  // threads started
  std::size_t idle = 0;     // threads waiting for a job
  bool stopping = false;
  TEventLoop* loop = nullptr;  // cleared by the resolver's end
  TAlive::TWatch resolver;
  TResolver* owner = nullptr;
  TLookup lookup;

  static void Work(const std::shared_ptr<TShared>& shared) {
    std::unique_lock<std::mutex> lock(shared->mutex);
    for (;;) {
      ++shared->idle;
      shared->wake.wait(lock, [&] { return shared->stopping || !shared->jobs.empty(); });
      --shared->idle;
      if (shared->stopping) return;
      TJob job = std::move(shared->jobs.front());
      shared->jobs.pop_front();
      lock.unlock();
      std::vector<TIpAddress> addresses;
      const int error = shared->lookup(job.name, addresses);
      lock.lock();
      if (shared->loop == nullptr) return;
      shared->loop->PostFromThread([resolver = shared->resolver, owner = shared->owner, id = job.id, error, addresses] {
        if (!resolver.Gone()) owner->Answer(id, error, addresses);
      });
    }
  }
};

TResolver::TResolver(TEventLoop& loop, TLookup lookup) : loop_(loop), shared_(std::make_shared<TShared>()) {
  shared_->loop = &loop;
  shared_->resolver = alive_.Watch();
  shared_->owner = this;
  using TSystemLookup = int (*)(const std::string&, std::vector<TIpAddress>&);
  shared_->lookup = lookup ? std::move(lookup) : TLookup(static_cast<TSystemLookup>(os::LookupHostAll));
}

TResolver::~TResolver() {
  {
    const std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->stopping = true;
    shared_->loop = nullptr;
  }
  shared_->wake.notify_all();
  for (auto& [id, waiting] : waiting_) loop_.CancelTimer(waiting.deadline);
}

void TResolver::Lookup(const std::string& name, TAnswer done) {
  const uint64_t id = next_id_++;
  TWaiting& waiting = waiting_[id];
  waiting.done = std::move(done);
  waiting.deadline = loop_.ScheduleAt(TEventLoop::Clock::now() + limit_, [this, id] {
    // The timer phase only posts: the answer is a task like any other.
    loop_.Post(alive_.Guard([this, id] { Answer(id, WSATRY_AGAIN, {}); }));
  });
  bool start_worker = false;
  {
    const std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->jobs.push_back({id, name});
    if (shared_->idle < shared_->jobs.size() && shared_->workers < kWorkers) {
      ++shared_->workers;
      start_worker = true;
    }
  }
  if (start_worker) {
    // Detached: a lookup cannot be interrupted, and the program's end must not
    // wait for one. The worker holds what it shares.
    std::thread([shared = shared_] { TShared::Work(shared); }).detach();
  }
  shared_->wake.notify_one();
}

void TResolver::Answer(uint64_t id, int error, const std::vector<TIpAddress>& addresses) {
  const auto it = waiting_.find(id);
  if (it == waiting_.end()) return;  // answered already: the limit came first
  TAnswer done = std::move(it->second.done);
  loop_.CancelTimer(it->second.deadline);
  waiting_.erase(it);
  done(error, addresses);
}

}  // namespace kelvox
