// Kelvox against socat, a plain byte proxy, in the same run: lines of 100 bytes
// each way, round trips, a user that stops reading for 2 s, and 90 idle linked
// users. A stand-in IRC server and the users are threads of this program; the
// `kelvox` program and socat run as processes of their own and are measured from
// outside: CPU time and RSS from /proc, system calls with strace when it may
// attach. Then the transfers and round trips again over TLS: with the link to
// the IRC server over TLS (CONN host:+port fp=..., a certificate for "localhost"
// made at start), and with the user on Kelvox's TLS port as well; socat the same
// way with its OPENSSL addresses. Between them, users that took server-time and
// message-tags: from a server that grants both and tags every line (the tags
// pass as they are) and from one that offers neither (Kelvox stamps each line's
// time itself).
//
//   bench_kelvox_relay [lines] [round-trips]   (default 1,000,000 and 20,000)
//
// KELVOX_BINARY names another kelvox program to measure instead of this tree's.
// bench/run.sh installs socat and strace, builds a Release tree and runs this.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bench/bench_io.h"

namespace {

using namespace kelvox_bench;
using std::chrono::milliseconds;

constexpr std::size_t kLine = 100;  // bytes per line, CR LF included
constexpr int kIdleUsers = 90;
constexpr int kRepeats = 3;

/// `count` copies of a line padded to kLine bytes.
std::string Block(const std::string& prefix, int count) {
  const std::string line = prefix + std::string(kLine - prefix.size() - 2, 'x') + "\r\n";
  std::string block;
  for (int i = 0; i < count; ++i) block += line;
  return block;
}

void WriteLines(TSocket fd, const std::string& block, long lines) {
  const long per_block = static_cast<long>(block.size() / kLine);
  for (; lines >= per_block; lines -= per_block) WriteAll(fd, block);
  WriteAll(fd, std::string_view(block).substr(0, static_cast<std::size_t>(lines) * kLine));
}

// --- the stand-in IRC server ----------------------------------------------------

// Welcomes a registration with 001 and then obeys its user: "BURST n" sends n
// lines, "SEQBURST n" n numbered lines, "UPLOAD n" takes n lines and says
// "uploaded", and a PRIVMSG to #echo comes back as a channel would echo it.
// Given a TLS context, it speaks TLS on every connection. A registration that
// opens with CAP LS is offered `caps` and welcomed at CAP END; once it has taken
// message-tags, every line of a burst carries kServerTags.
constexpr std::string_view kServerTags = "@time=2026-12-08T11:22:33.456Z;msgid=Yk3vQ9bench ";

class TIrcServer {
 public:
  explicit TIrcServer(SSL_CTX* tls = nullptr, std::string caps = "")
      : tls_(tls), caps_(std::move(caps)), listen_fd_(ListenOn(port_)) {
    std::thread([this] { AcceptLoop(); }).detach();
  }
  uint16_t Port() const { return port_; }
  /// The protocols and ciphers its TLS sessions used.
  std::string TlsCiphers() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    std::string text;
    for (const std::string& cipher : ciphers_) text += (text.empty() ? "" : ", ") + cipher;
    return text;
  }

 private:
  void AcceptLoop() {
    for (;;) {
      const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) return;
      const int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      if (tls_ == nullptr) {
        std::thread([this, fd] { Serve(fd); }).detach();
      } else {
        std::thread([this, fd] { ServeTls(fd); }).detach();
      }
    }
  }

  void ServeTls(int fd) {
    SSL* ssl = SSL_new(tls_);
    if (ssl != nullptr && SSL_set_fd(ssl, fd) == 1 && SSL_accept(ssl) == 1) {
      {
        const std::lock_guard<std::mutex> lock(mutex_);
        ciphers_.insert(std::string(SSL_get_version(ssl)) + " " + SSL_CIPHER_get_name(SSL_get_current_cipher(ssl)));
      }
      Serve({fd, ssl});
    } else {
      ERR_clear_error();
      close(fd);
    }
    SSL_free(ssl);
  }

  void Serve(TSocket fd) const {
    TLineReader in(fd);
    std::string line, nick = "user";
    std::string burst, tags;
    bool capping = false, user_waits = false;
    while (in.ReadLine(line)) {
      const auto number = [&line](std::size_t at) { return std::atol(line.c_str() + at); };
      const auto welcome = [&] { WriteAll(fd, ":bench 001 " + nick + " :Welcome\r\n"); };
      if (line.rfind("CAP LS", 0) == 0) {
        capping = true;
        WriteAll(fd, ":bench CAP * LS :" + caps_ + "\r\n");
      } else if (line.rfind("CAP REQ :", 0) == 0) {
        WriteAll(fd, ":bench CAP " + nick + " ACK :" + line.substr(9) + "\r\n");
        if (line.find("message-tags") != std::string::npos) tags = kServerTags;
      } else if (line == "CAP END") {
        capping = false;
        if (user_waits) welcome();
      } else if (line.rfind("NICK ", 0) == 0) {
        nick = line.substr(5);
        burst.clear();
      } else if (line.rfind("USER ", 0) == 0) {
        user_waits = capping;
        if (!capping) welcome();
      } else if (line.rfind("BURST ", 0) == 0) {
        if (burst.empty()) burst = Block(tags + ":bench!b@h PRIVMSG " + nick + " :", 2560);
        WriteLines(fd, burst, number(6));
      } else if (line.rfind("SEQBURST ", 0) == 0) {
        SendNumbered(fd, ":bench!b@h PRIVMSG " + nick + " :", kLine, number(9));
      } else if (line.rfind("UPLOAD ", 0) == 0) {
        if (!in.SkipLines(number(7))) break;
        WriteAll(fd, ":bench NOTICE " + nick + " :uploaded\r\n");
      } else if (line.rfind("PRIVMSG #echo ", 0) == 0) {
        WriteAll(fd, ":" + nick + "!b@h " + line + "\r\n");
      }
    }
    close(fd.fd);
  }

  SSL_CTX* tls_;
  std::string caps_;
  uint16_t port_ = 0;
  int listen_fd_;
  mutable std::mutex mutex_;
  std::set<std::string> ciphers_;
};

// --- a user of the bouncer or of socat ------------------------------------------

class TUser {
 public:
  /// Connects to `port` and registers: through Kelvox with NICK, USER and CONN to
  /// the IRC server, through socat with NICK and USER. Returns once welcomed.
  TUser(uint16_t port, uint16_t irc_port, bool via_kelvox, const std::string& nick)
      : TUser(port, via_kelvox ? "127.0.0.1:" + std::to_string(irc_port) : std::string(), nick, nullptr) {}
  /// The same with the CONN argument given (none: through socat), over TLS when
  /// given a context, and with `caps` (CAP lines) before NICK; a reply that keeps
  /// it waiting for a minute fails. Returns once the IRC server has welcomed it.
  TUser(uint16_t port, const std::string& conn, const std::string& nick, SSL_CTX* tls,
        const std::string& caps = "")
      : fd_(ConnectTo(port), nullptr), in_(fd_) {
    if (fd_.fd < 0) Fail("cannot connect to port " + std::to_string(port));
    if (tls != nullptr) {
      const timeval limit{60, 0};
      setsockopt(fd_.fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
      fd_.ssl = SSL_new(tls);
      if (fd_.ssl == nullptr || SSL_set_fd(fd_.ssl, fd_.fd) != 1 || SSL_set1_host(fd_.ssl, "localhost") != 1 ||
          SSL_connect(fd_.ssl) != 1) {
        const char* reason = ERR_reason_error_string(ERR_get_error());
        Fail("no TLS session with port " + std::to_string(port) + ": " + (reason != nullptr ? reason : "?"));
      }
      in_ = TLineReader(fd_);
    }
    std::string hello = caps + "NICK " + nick + "\r\nUSER " + nick + " 0 * :bench\r\n";
    if (!conn.empty()) hello += "CONN " + conn + "\r\n";
    WriteAll(fd_, hello);
    WaitFor(":bench 001 ");  // not Kelvox's own welcome: the IRC server's
  }
  ~TUser() {
    SSL_free(fd_.ssl);
    close(fd_.fd);
  }
  TUser(const TUser&) = delete;
  TUser& operator=(const TUser&) = delete;

  /// The server sends `lines`; seconds until the last has arrived.
  double Down(long lines) {
    const auto start = Clock::now();
    WriteAll(fd_, "BURST " + std::to_string(lines) + "\r\n");
    if (!in_.SkipLines(lines)) Fail("connection lost during the download");
    return Seconds(start);
  }
  /// The first line of a burst, as the user gets it.
  std::string Sample() {
    std::string line;
    WriteAll(fd_, "BURST 1\r\n");
    if (!in_.ReadLine(line)) Fail("connection lost during a sample");
    return line;
  }
  /// The user sends `lines`; seconds until the server has them all.
  double Up(long lines) {
    static const std::string block = Block("PRIVMSG #sink :", 2560);
    const auto start = Clock::now();
    WriteAll(fd_, "UPLOAD " + std::to_string(lines) + "\r\n");
    WriteLines(fd_, block, lines);
    WaitFor("uploaded");
    return Seconds(start);
  }
  /// Microseconds per echo, sorted.
  std::vector<double> RoundTrips(int count) {
    std::vector<double> micros;
    std::string line;
    for (int i = 0; i < count; ++i) {
      const auto start = Clock::now();
      WriteAll(fd_, "PRIVMSG #echo :round trip " + std::to_string(i) + "\r\n");
      if (!in_.ReadLine(line)) Fail("connection lost during the round trips");
      micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    std::sort(micros.begin(), micros.end());
    return micros;
  }
  /// Asks for numbered lines, reads nothing for `stall`, then reads them all;
  /// returns how many were missing or out of order.
  long StalledDownload(long lines, milliseconds stall, const std::function<void()>& during) {
    WriteAll(fd_, "SEQBURST " + std::to_string(lines) + "\r\n");
    const auto until = Clock::now() + stall;
    while (Clock::now() < until) during();
    long wrong = 0;
    std::string line;
    for (long i = 0; i < lines; ++i) {
      if (!in_.ReadLine(line)) return wrong + lines - i;
      const std::size_t colon = line.find(" :");
      if (colon == std::string::npos || std::atol(line.c_str() + colon + 2) != i) ++wrong;
    }
    return wrong;
  }

 private:
  void WaitFor(const std::string& text) {
    std::string line, last;
    do {
      if (!line.empty()) last = line;
      if (!in_.ReadLine(line)) {
        Fail("connection closed while waiting for \"" + text + "\"" +
             (last.empty() ? "" : ", after \"" + last + "\""));
      }
    } while (line.find(text) == std::string::npos);
  }

  TSocket fd_;
  TLineReader in_;
};

// --- processes, measured from /proc ------------------------------------------------

/// The newest child of a process (socat serves each connection in a child).
pid_t NewestChild(pid_t pid) {
  const std::string children = ReadFile("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
  std::istringstream list(children);
  pid_t child = 0, newest = 0;
  while (list >> child) newest = std::max(newest, child);
  return newest;
}

// Counts the system calls a process makes while `round` runs, with strace.
struct TCalls {
  long sends = -1;  // send, sendto, sendmsg, write, writev
  long receives = -1;
};
TCalls CountCalls(pid_t pid, const std::function<void()>& round) {
  const std::string out = "/tmp/bench-strace-" + std::to_string(getpid()) + ".txt";
  const pid_t tracer =
      Spawn({"strace", "-f", "-c", "-q", "-o", out, "-e", "trace=sendto,sendmsg,write,writev,recvfrom,recvmsg,read",
             "-p", std::to_string(pid)});
  const std::string status = "/proc/" + std::to_string(pid) + "/status";
  for (int i = 0; i < 300 && ReadFile(status).find("TracerPid:\t0\n") != std::string::npos; ++i) {
    std::this_thread::sleep_for(milliseconds(10));
  }
  TCalls calls;
  if (ReadFile(status).find("TracerPid:\t0\n") != std::string::npos) {
    Stop(tracer);
    round();
    return calls;  // not allowed to trace here
  }
  round();
  Stop(tracer, SIGINT);
  std::istringstream table(ReadFile(out));
  std::string row;
  calls = {0, 0};
  while (std::getline(table, row)) {
    std::istringstream cells(row);
    std::vector<std::string> cell;
    for (std::string c; cells >> c;) cell.push_back(c);
    if (cell.size() < 5) continue;
    const std::string& name = cell.back();
    const long count = std::atol(cell[3].c_str());
    if (name == "sendto" || name == "sendmsg" || name == "write" || name == "writev") calls.sends += count;
    if (name == "recvfrom" || name == "recvmsg" || name == "read") calls.receives += count;
  }
  std::filesystem::remove(out);
  return calls;
}

// Samples a process's RSS while a round runs.
struct TRssRound {
  long before = 0, peak = 0, settled = 0;
};
TRssRound MeasureRss(pid_t pid, const std::function<void()>& round) {
  TRssRound rss;
  rss.before = rss.peak = RssKiB(pid);
  std::atomic<bool> done{false};
  std::thread sampler([&] {
    while (!done) {
      rss.peak = std::max(rss.peak, RssKiB(pid));
      std::this_thread::sleep_for(milliseconds(5));
    }
  });
  round();
  done = true;
  sampler.join();
  // Kelvox gives freed heap back a moment after a burst: wait that moment.
  std::this_thread::sleep_for(milliseconds(3000));
  rss.settled = RssKiB(pid);
  return rss;
}

// --- TLS ----------------------------------------------------------------------------

// A self-signed certificate for "localhost" and its key, in PEM files, and the
// TLS contexts of the stand-in server (with them) and of a user (trusting them).
struct TTls {
  std::string cert_file, key_file;
  std::string fingerprint;  // SHA-256, hex with colons
  SSL_CTX* server = nullptr;
  SSL_CTX* client = nullptr;
};

TTls MakeTls(const std::filesystem::path& dir) {
  TTls tls;
  tls.cert_file = (dir / "localhost.pem").string();
  tls.key_file = (dir / "localhost.key").string();
  EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
  X509* cert = X509_new();
  X509_EXTENSION* alt = X509V3_EXT_conf_nid(nullptr, nullptr, NID_subject_alt_name, "DNS:localhost");
  if (key == nullptr || cert == nullptr || alt == nullptr) Fail("cannot make a certificate");
  X509_NAME* name = X509_get_subject_name(cert);
  const bool made =
      X509_set_version(cert, X509_VERSION_3) == 1 && ASN1_INTEGER_set(X509_get_serialNumber(cert), 1) == 1 &&
      X509_gmtime_adj(X509_getm_notBefore(cert), -3600) != nullptr &&
      X509_gmtime_adj(X509_getm_notAfter(cert), 86400) != nullptr && X509_set_pubkey(cert, key) == 1 &&
      X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("localhost"), -1,
                                 -1, 0) == 1 &&
      X509_set_issuer_name(cert, name) == 1 && X509_add_ext(cert, alt, -1) == 1 &&
      X509_sign(cert, key, EVP_sha256()) > 0;
  X509_EXTENSION_free(alt);
  if (!made) Fail("cannot make a certificate");

  FILE* cert_out = std::fopen(tls.cert_file.c_str(), "w");
  FILE* key_out = std::fopen(tls.key_file.c_str(), "w");
  const bool written = cert_out != nullptr && key_out != nullptr && PEM_write_X509(cert_out, cert) == 1 &&
                       PEM_write_PrivateKey(key_out, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
  for (FILE* file : {cert_out, key_out}) {
    if (file != nullptr) std::fclose(file);
  }
  if (!written) Fail("cannot write the certificate");

  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int md_len = 0;
  if (X509_digest(cert, EVP_sha256(), md, &md_len) != 1) Fail("cannot take the fingerprint");
  for (unsigned int i = 0; i < md_len; ++i) {
    char hex[4];
    std::snprintf(hex, sizeof hex, i == 0 ? "%02X" : ":%02X", md[i]);
    tls.fingerprint += hex;
  }

  tls.server = SSL_CTX_new(TLS_server_method());
  tls.client = SSL_CTX_new(TLS_client_method());
  if (tls.server == nullptr || tls.client == nullptr || SSL_CTX_use_certificate(tls.server, cert) != 1 ||
      SSL_CTX_use_PrivateKey(tls.server, key) != 1 ||
      X509_STORE_add_cert(SSL_CTX_get_cert_store(tls.client), cert) != 1) {
    Fail("cannot make the TLS contexts");
  }
  SSL_CTX_set_verify(tls.client, SSL_VERIFY_PEER, nullptr);
  X509_free(cert);
  EVP_PKEY_free(key);
  return tls;
}

}  // namespace

int main(int argc, char** argv) {
  const long lines = argc > 1 ? std::atol(argv[1]) : 1000000;
  const int round_trips = argc > 2 ? std::atoi(argv[2]) : 20000;
  const double per_million = 1e6 / static_cast<double>(lines);
  signal(SIGPIPE, SIG_IGN);

  TIrcServer irc;
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / ("kelvox-bench-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const uint16_t kelvox_port = FreePort();
  std::ofstream(dir / "Config.ini") << "[Main]\r\nBeep=no\r\nAutoStart=yes\r\nMax=99\r\nPort=" << kelvox_port
                                    << "\r\n[Security]\r\nIdentification=no\r\n";
  const char* binary = std::getenv("KELVOX_BINARY");  // another build to measure
  const pid_t kelvox = Spawn({binary != nullptr ? binary : KELVOX_BINARY, "--config-dir", dir.string()});
  const uint16_t socat_port = FreePort();
  const pid_t socat = Spawn({"socat", "TCP-LISTEN:" + std::to_string(socat_port) + ",bind=127.0.0.1,reuseaddr,fork",
                             "TCP:127.0.0.1:" + std::to_string(irc.Port())});
  WaitListening(kelvox_port);
  WaitListening(socat_port);

  std::printf("Kelvox against socat: %ld lines of %zu bytes each way, %d round trips\n\n", lines, kLine, round_trips);
  std::vector<std::pair<std::string, TRssRound>> rss_rounds;

  // Idle users first, so that they are there for every later round.
  std::vector<std::unique_ptr<TUser>> idle;
  rss_rounds.emplace_back("90 idle linked users", MeasureRss(kelvox, [&] {
                            for (int i = 0; i < kIdleUsers; ++i) {
                              idle.push_back(std::make_unique<TUser>(kelvox_port, irc.Port(), true,
                                                                     "idle" + std::to_string(i)));
                            }
                          }));
  const TRssRound idle_rss = rss_rounds.back().second;

  struct TSide {
    double down_s = 0, up_s = 0, down_cpu = 0, up_cpu = 0;
    std::vector<double> rtt;
    TCalls down_calls, up_calls;
  } k, s;
  TUser via_kelvox(kelvox_port, irc.Port(), true, "bench");
  TUser via_socat(socat_port, irc.Port(), false, "bench");
  const pid_t socat_child = NewestChild(socat);

  // Each transfer three times, taking turns: the median time, the mean CPU time
  // (the clock ticks of /proc are 10 ms).
  const auto transfer = [](pid_t pid, double& secs, double& cpu, const std::function<double()>& round) {
    std::vector<double> times;
    const double before = CpuSeconds(pid);
    for (int i = 0; i < kRepeats; ++i) times.push_back(round());
    cpu = (CpuSeconds(pid) - before) / kRepeats;
    std::sort(times.begin(), times.end());
    secs = times[kRepeats / 2];
  };
  rss_rounds.emplace_back("server to user", MeasureRss(kelvox, [&] {
                            transfer(kelvox, k.down_s, k.down_cpu, [&] { return via_kelvox.Down(lines); });
                          }));
  transfer(socat_child, s.down_s, s.down_cpu, [&] { return via_socat.Down(lines); });
  rss_rounds.emplace_back("user to server", MeasureRss(kelvox, [&] {
                            transfer(kelvox, k.up_s, k.up_cpu, [&] { return via_kelvox.Up(lines); });
                          }));
  transfer(socat_child, s.up_s, s.up_cpu, [&] { return via_socat.Up(lines); });
  rss_rounds.emplace_back("round trips", MeasureRss(kelvox, [&] { k.rtt = via_kelvox.RoundTrips(round_trips); }));
  s.rtt = via_socat.RoundTrips(round_trips);

  long lost = -1;
  TRssRound stall_rss;
  rss_rounds.emplace_back("2 s stalled reader", MeasureRss(kelvox, [&] {
                            const long before = RssKiB(kelvox);
                            long peak = before;
                            lost = via_kelvox.StalledDownload(lines / 5, milliseconds(2000), [&] {
                              peak = std::max(peak, RssKiB(kelvox));
                              std::this_thread::sleep_for(milliseconds(5));
                            });
                            stall_rss = {before, peak, 0};
                          }));

  // System calls, counted apart: tracing slows the process down.
  k.down_calls = CountCalls(kelvox, [&] { via_kelvox.Down(lines); });
  k.up_calls = CountCalls(kelvox, [&] { via_kelvox.Up(lines); });
  s.down_calls = CountCalls(socat_child, [&] { via_socat.Down(lines); });
  s.up_calls = CountCalls(socat_child, [&] { via_socat.Up(lines); });

  const auto rate = [&](double secs) { return static_cast<double>(lines) / secs; };
  const auto row = [](const char* name, double kelvox_value, double socat_value, bool ratio) {
    std::printf("%-30s %14.2f %14.2f", name, kelvox_value, socat_value);
    if (ratio) std::printf("   %5.2fx", kelvox_value / socat_value);
    std::printf("\n");
  };
  const auto calls = [&](long count) { return count < 0 ? -1.0 : static_cast<double>(count) * per_million; };
  // A table of figures with a column per side; a row names its figure of a side.
  using TRow = std::pair<const char*, std::function<double(const TSide&)>>;
  const TRow down_rate{"server to user, lines/s", [&](const TSide& side) { return rate(side.down_s); }};
  const TRow up_rate{"user to server, lines/s", [&](const TSide& side) { return rate(side.up_s); }};
  const TRow down_cpu{"CPU s per 1M lines, down", [&](const TSide& side) { return side.down_cpu * per_million; }};
  const TRow up_cpu{"CPU s per 1M lines, up", [&](const TSide& side) { return side.up_cpu * per_million; }};
  const auto table = [](const std::vector<std::pair<const char*, const TSide*>>& columns,
                        const std::vector<TRow>& rows) {
    std::printf("%-30s", "");
    for (const auto& column : columns) std::printf(" %13s", column.first);
    std::printf("\n");
    for (const auto& [name, value] : rows) {
      std::printf("%-30s", name);
      for (const auto& column : columns) std::printf(" %13.2f", value(*column.second));
      std::printf("\n");
    }
  };
  std::printf("%-30s %14s %14s   %s\n", "", "Kelvox", "socat", "Kelvox/socat");
  row("server to user, lines/s", rate(k.down_s), rate(s.down_s), true);
  row("user to server, lines/s", rate(k.up_s), rate(s.up_s), true);
  row("round trip median, us", k.rtt[k.rtt.size() / 2], s.rtt[s.rtt.size() / 2], true);
  row("round trip p99, us", k.rtt[k.rtt.size() * 99 / 100], s.rtt[s.rtt.size() * 99 / 100], true);
  row("CPU s per 1M lines, down", k.down_cpu * per_million, s.down_cpu * per_million, false);
  row("CPU s per 1M lines, up", k.up_cpu * per_million, s.up_cpu * per_million, false);
  row("sends per 1M lines, down", calls(k.down_calls.sends), calls(s.down_calls.sends), false);
  row("sends per 1M lines, up", calls(k.up_calls.sends), calls(s.up_calls.sends), false);
  row("receives per 1M lines, down", calls(k.down_calls.receives), calls(s.down_calls.receives), false);
  row("receives per 1M lines, up", calls(k.up_calls.receives), calls(s.up_calls.receives), false);
  std::printf("(-1: strace could not attach)\n\n");

  std::printf("idle linked users: %d, RSS +%ld KiB, %.1f KiB per user\n", kIdleUsers,
              idle_rss.settled - idle_rss.before,
              static_cast<double>(idle_rss.settled - idle_rss.before) / kIdleUsers);
  std::printf("stalled reader: %ld lines, %ld missing or out of order, RSS +%ld KiB during the stall\n\n",
              lines / 5, lost, stall_rss.peak - stall_rss.before);
  std::printf("Kelvox RSS, KiB          %10s %10s %10s\n", "before", "peak", "settled");
  for (const auto& [name, rss] : rss_rounds) {
    std::printf("%-24s %10ld %10ld %10ld\n", name.c_str(), rss.before, rss.peak, rss.settled);
  }

  // Users that took server-time and message-tags, through the same Kelvox: from
  // a server that grants both and tags every line, and from one that offers
  // neither. A build without capabilities gives no time: it is not measured.
  std::printf("\n");
  TIrcServer irc_caps(nullptr, "message-tags server-time");
  const std::string take_caps = "CAP LS 302\r\nCAP REQ :server-time message-tags\r\nCAP END\r\n";
  TUser tags_pass(kelvox_port, "127.0.0.1:" + std::to_string(irc_caps.Port()), "benchpass", nullptr, take_caps);
  TUser time_stamped(kelvox_port, "127.0.0.1:" + std::to_string(irc.Port()), "benchstamp", nullptr, take_caps);
  const std::string passed = tags_pass.Sample(), stamped = time_stamped.Sample();
  // Kelvox's time tag is as long as the server's.
  const std::size_t time_tag = kServerTags.find(';');
  if (passed.starts_with(kServerTags) && stamped.starts_with("@time=") && stamped.find(" :bench!b@h ") == time_tag) {
    TSide pass, stamp;
    for (auto [user, side] : {std::pair{&tags_pass, &pass}, std::pair{&time_stamped, &stamp}}) {
      transfer(kelvox, side->down_s, side->down_cpu, [&] { return user->Down(lines); });
      transfer(kelvox, side->up_s, side->up_cpu, [&] { return user->Up(lines); });
    }
    std::printf("With server-time and message-tags (\"tags pass\": the server's; \"time stamped\": Kelvox's)\n");
    table({{"Kelvox plain", &k}, {"tags pass", &pass}, {"time stamped", &stamp}, {"socat plain", &s}},
          {down_rate, up_rate, down_cpu, up_cpu});
  } else {
    std::printf("No capabilities measured: the program gives no server-time (\"%s\")\n", stamped.c_str());
  }

  idle.clear();
  Stop(socat);
  Stop(kelvox);

  // --- the same over TLS -----------------------------------------------------------
  // A second stand-in server that speaks TLS, a kelvox of its own with a TLS
  // port (the same certificate), and socat in two ways: TLS to the server only,
  // and TLS on both legs (its complaints about sessions that end without a TLS
  // close, as every one here does, go nowhere).
  std::printf("\n");
  std::fflush(stdout);
  const TTls tls = MakeTls(dir);
  TIrcServer irc_tls(tls.server);
  const std::filesystem::path tls_dir = dir / "tls";
  std::filesystem::create_directories(tls_dir);
  std::filesystem::copy_file(tls.cert_file, tls_dir / "kelvox.pem");
  std::filesystem::copy_file(tls.key_file, tls_dir / "kelvox.key");
  const uint16_t kelvox2_port = FreePort();
  const uint16_t kelvox2_tls_port = FreePort();
  std::ofstream(tls_dir / "Config.ini") << "[Main]\r\nBeep=no\r\nAutoStart=yes\r\nMax=99\r\nPort=" << kelvox2_port
                                        << "\r\n[Security]\r\nIdentification=no\r\n[TLS]\r\nSSL Port="
                                        << kelvox2_tls_port << "\r\n";
  const pid_t kelvox2 = Spawn({binary != nullptr ? binary : KELVOX_BINARY, "--config-dir", tls_dir.string()});
  const std::string to_irc_tls = "OPENSSL:localhost:" + std::to_string(irc_tls.Port()) + ",cafile=" + tls.cert_file;
  const uint16_t socat_link_port = FreePort();
  const pid_t socat_link =
      Spawn({"socat", "-lf", "/dev/null",
             "TCP-LISTEN:" + std::to_string(socat_link_port) + ",bind=127.0.0.1,reuseaddr,fork", to_irc_tls});
  const uint16_t socat_both_port = FreePort();
  const pid_t socat_both = Spawn({"socat", "-lf", "/dev/null",
                                  "OPENSSL-LISTEN:" + std::to_string(socat_both_port) +
                                      ",bind=127.0.0.1,reuseaddr,fork,verify=0,cert=" + tls.cert_file +
                                      ",key=" + tls.key_file,
                                  to_irc_tls});
  for (const uint16_t port : {kelvox2_port, kelvox2_tls_port, socat_link_port, socat_both_port}) WaitListening(port);

  const std::string conn_tls = "localhost:+" + std::to_string(irc_tls.Port()) + " fp=" + tls.fingerprint;
  TUser kelvox_link(kelvox2_port, conn_tls, "benchlink", nullptr);
  TUser kelvox_both(kelvox2_tls_port, conn_tls, "benchboth", tls.client);
  TUser socat_link_user(socat_link_port, "", "benchlink", nullptr);
  const pid_t socat_link_child = NewestChild(socat_link);
  TUser socat_both_user(socat_both_port, "", "benchboth", tls.client);
  const pid_t socat_both_child = NewestChild(socat_both);

  struct TTlsRun {
    pid_t pid;
    TUser* user;
    TSide side;
  };
  std::vector<TTlsRun> runs = {{kelvox2, &kelvox_link, {}},
                               {kelvox2, &kelvox_both, {}},
                               {socat_link_child, &socat_link_user, {}},
                               {socat_both_child, &socat_both_user, {}}};
  // Taking turns as above.
  for (TTlsRun& run : runs) {
    transfer(run.pid, run.side.down_s, run.side.down_cpu, [&] { return run.user->Down(lines); });
  }
  for (TTlsRun& run : runs) {
    transfer(run.pid, run.side.up_s, run.side.up_cpu, [&] { return run.user->Up(lines); });
  }
  for (TTlsRun& run : runs) run.side.rtt = run.user->RoundTrips(round_trips);
  for (TTlsRun& run : runs) {
    run.side.down_calls = CountCalls(run.pid, [&] { run.user->Down(lines); });
    run.side.up_calls = CountCalls(run.pid, [&] { run.user->Up(lines); });
  }

  // The plain figures again, beside them.
  std::printf("Over TLS (\"link\": TLS to the IRC server, the user plain; \"both\": the user over TLS as well)\n");
  table({{"Kelvox plain", &k},
         {"Kelvox link", &runs[0].side},
         {"Kelvox both", &runs[1].side},
         {"socat plain", &s},
         {"socat link", &runs[2].side},
         {"socat both", &runs[3].side}},
        {down_rate,
         up_rate,
         {"round trip median, us", [](const TSide& side) { return side.rtt[side.rtt.size() / 2]; }},
         {"round trip p99, us", [](const TSide& side) { return side.rtt[side.rtt.size() * 99 / 100]; }},
         down_cpu,
         up_cpu,
         {"sends per 1M lines, down", [&](const TSide& side) { return calls(side.down_calls.sends); }},
         {"sends per 1M lines, up", [&](const TSide& side) { return calls(side.up_calls.sends); }},
         {"receives per 1M lines, down", [&](const TSide& side) { return calls(side.down_calls.receives); }},
         {"receives per 1M lines, up", [&](const TSide& side) { return calls(side.up_calls.receives); }}});
  std::printf("(-1: strace could not attach; TLS to the IRC server: %s)\n", irc_tls.TlsCiphers().c_str());

  Stop(socat_both);
  Stop(socat_link);
  Stop(kelvox2);
  std::filesystem::remove_all(dir);
  return lost == 0 ? 0 : 1;
}
