#include "bench/bench_io.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

extern char** environ;

namespace kelvox_bench {

namespace {

// The processes started here that still run: a failure stops them too.
std::mutex started_mutex;
std::vector<pid_t> started;

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return sa;
}

ssize_t Receive(TSocket socket, char* into, std::size_t size) {
  if (socket.ssl != nullptr) return SSL_read(socket.ssl, into, static_cast<int>(std::min<std::size_t>(size, INT_MAX)));
  return recv(socket.fd, into, size, 0);
}

}  // namespace

void Fail(const std::string& what) {
  std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, what.c_str());
  {
    const std::lock_guard<std::mutex> lock(started_mutex);
    for (const pid_t pid : started) kill(pid, SIGTERM);
  }
  std::exit(1);
}

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

// --- plain blocking sockets on loopback ---------------------------------------

int ListenOn(uint16_t& port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in sa = Loopback(0);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0 || listen(fd, 128) != 0) Fail("listen");
  sockaddr_in bound{};
  socklen_t len = sizeof bound;
  getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len);
  port = ntohs(bound.sin_port);
  return fd;
}

uint16_t FreePort() {
  uint16_t port = 0;
  close(ListenOn(port));
  return port;
}

int ConnectTo(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in sa = Loopback(port);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
    close(fd);
    return -1;
  }
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

void WaitListening(uint16_t port) {
  for (int i = 0; i < 500; ++i) {
    const int fd = ConnectTo(port);
    if (fd >= 0) {
      close(fd);
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  Fail("nothing listens on port " + std::to_string(port));
}

void WriteAll(TSocket socket, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n =
        socket.ssl != nullptr
            ? SSL_write(socket.ssl, data.data(), static_cast<int>(std::min<std::size_t>(data.size(), INT_MAX)))
            : send(socket.fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (n <= 0) return;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
}

void SendNumbered(TSocket socket, const std::string& prefix, std::size_t size, long lines) {
  std::string line = prefix + std::string(size - prefix.size() - 2, 'x') + "\r\n";
  std::string chunk;
  for (long i = 0; i < lines; ++i) {
    const std::string seq = std::to_string(i);
    line.replace(prefix.size(), 10, std::string(10 - seq.size(), '0') + seq);
    chunk += line;
    if (chunk.size() >= 64 * 1024 || i + 1 == lines) {
      WriteAll(socket, chunk);
      chunk.clear();
    }
  }
}

TLineReader::TLineReader(TSocket socket) : fd_(socket), buf_(new char[kSize]) {}

bool TLineReader::ReadLine(std::string& line) {
  for (;;) {
    if (const char* lf = static_cast<const char*>(std::memchr(buf_.get() + begin_, '\n', end_ - begin_))) {
      std::size_t len = static_cast<std::size_t>(lf - (buf_.get() + begin_));
      line.assign(buf_.get() + begin_, len > 0 && lf[-1] == '\r' ? len - 1 : len);
      begin_ += len + 1;
      return true;
    }
    if (!Fill()) return false;
  }
}

bool TLineReader::SkipLines(long count) {
  while (count > 0) {
    const char* at = buf_.get() + begin_;
    const char* end = buf_.get() + end_;
    while (count > 0 && (at = static_cast<const char*>(std::memchr(at, '\n', end - at))) != nullptr) {
      ++at;
      --count;
    }
    begin_ = count == 0 ? static_cast<std::size_t>(at - buf_.get()) : end_;
    if (count > 0 && !Fill()) return false;
  }
  return true;
}

bool TLineReader::Fill() {
  if (begin_ > 0) {
    std::memmove(buf_.get(), buf_.get() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  if (end_ == kSize) Fail("line longer than the read buffer");
  const ssize_t n = Receive(fd_, buf_.get() + end_, kSize - end_);
  if (n <= 0) return false;
  end_ += static_cast<std::size_t>(n);
  return true;
}

// --- processes, measured from /proc ------------------------------------------------

pid_t Spawn(const std::vector<std::string>& args, int input) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (input >= 0) {
    posix_spawn_file_actions_adddup2(&actions, input, 0);
  } else {
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  }
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int err = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (err != 0) Fail("cannot start " + args[0] + ": " + std::strerror(err));
  const std::lock_guard<std::mutex> lock(started_mutex);
  started.push_back(pid);
  return pid;
}

void Stop(pid_t pid, int signal_number) {
  kill(pid, signal_number);
  waitpid(pid, nullptr, 0);
  const std::lock_guard<std::mutex> lock(started_mutex);
  started.erase(std::remove(started.begin(), started.end(), pid), started.end());
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

double CpuSeconds(pid_t pid) {
  const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string field;
  long ticks = 0;
  for (int i = 3; fields >> field && i <= 15; ++i) {
    if (i >= 14) ticks += std::atol(field.c_str());  // utime, stime
  }
  return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long RssKiB(pid_t pid) {
  const std::string status = ReadFile("/proc/" + std::to_string(pid) + "/status");
  const std::size_t at = status.find("VmRSS:");
  return at == std::string::npos ? 0 : std::atol(status.c_str() + at + 6);
}

}  // namespace kelvox_bench
