// What the benchmarks that run the kelvox program as a process of their own
// share: blocking sockets on loopback (plain or with a TLS session over them),
// a line reader with a large buffer, the processes they start, and the figures
// of a process read from /proc.
#pragma once

#include <openssl/ssl.h>
#include <sys/types.h>

#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kelvox_bench {

using Clock = std::chrono::steady_clock;

/// Says what failed, stops the processes started here and ends the program.
[[noreturn]] void Fail(const std::string& what);

/// Seconds since `since`.
double Seconds(Clock::time_point since);

// --- plain blocking sockets on loopback ---------------------------------------

/// A listening socket on 127.0.0.1; `port` gets the port it was given.
int ListenOn(uint16_t& port);
/// A port nothing listens on now.
uint16_t FreePort();
/// A connected socket without Nagle's delay, or -1.
int ConnectTo(uint16_t port);
/// Returns once something accepts connections on `port`; fails after 5 s.
void WaitListening(uint16_t port);

/// A blocking socket, plain or with a TLS session over it.
struct TSocket {
  TSocket(int f, SSL* s = nullptr) : fd(f), ssl(s) {}  // NOLINT: a plain descriptor converts
  int fd;
  SSL* ssl;
};

/// Writes all of `data`, or stops at the first failure.
void WriteAll(TSocket socket, std::string_view data);

/// Sends `lines` lines of `size` bytes (CR LF included): `prefix`, the line's
/// number from 0 in ten digits, then padding; in writes of about 64 KiB.
void SendNumbered(TSocket socket, const std::string& prefix, std::size_t size, long lines);

/// Reads lines from a blocking socket through a large buffer.
class TLineReader {
 public:
  explicit TLineReader(TSocket socket);

  /// The next line without its line end; false at the end of the stream.
  bool ReadLine(std::string& line);
  /// Reads past `count` lines, counting only their ends; false if the stream ends first.
  bool SkipLines(long count);

 private:
  static constexpr std::size_t kSize = 256 * 1024;
  bool Fill();

  TSocket fd_;
  std::unique_ptr<char[]> buf_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
};

// --- processes, measured from /proc ------------------------------------------------

/// Starts a program with its output to /dev/null and its input from `input`
/// (a descriptor the child reads; -1: /dev/null). Fail stops it.
pid_t Spawn(const std::vector<std::string>& args, int input = -1);
/// Sends the signal and waits for the process to end.
void Stop(pid_t pid, int signal_number = SIGTERM);

std::string ReadFile(const std::string& path);
/// CPU seconds of every thread of the process.
double CpuSeconds(pid_t pid);
/// The resident set of the process, KiB.
long RssKiB(pid_t pid);

}  // namespace kelvox_bench
