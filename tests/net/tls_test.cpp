// TLS in the socket layer over real loopback connections: a certificate made in
// a temporary folder, a TLS client socket against the TLS server end of an
// accepted one, the checks of the server's certificate with the way their
// failures are reported, and data under back-pressure.
#include "net/tls.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "net/wsocket_server.h"
#include "tests/support/loopback.h"
#include "tests/support/temp_dir.h"

namespace kelvox {
namespace {

using test::kWait;
using test::TRawPeer;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::StartsWith;

// A socket's events as short texts, in order, as the plain socket tests write them.
void Record(TWSocket& s, std::vector<std::string>& events) {
  s.OnChangeState = [&events](TWSocket*, TSocketState from, TSocketState to) {
    events.push_back("state " + std::to_string(from) + ">" + std::to_string(to));
  };
  s.OnSessionConnected = [&events](TWSocket*, uint16_t error) {
    events.push_back("connected " + std::to_string(error));
  };
  s.OnSessionClosed = [&events](TWSocket* sender, uint16_t error) {
    events.push_back("closed " + std::to_string(error) + " in " + std::to_string(sender->State()));
  };
  s.OnDataAvailable = [&events](TWSocket* sender, uint16_t) {
    if (std::string text = sender->ReceiveText(); !text.empty()) events.push_back("data " + text);
  };
}

std::string Line(int i) { return "PRIVMSG #kelvox :" + std::to_string(i) + std::string(80, 'x'); }

class TlsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(MakeSelfSignedCertificate(cert, key, "localhost", error)) << error;
    context = TTlsServerContext::Load(cert, key, error);
    ASSERT_TRUE(context) << error;
    server.SetAddr("127.0.0.1");
    server.SetPort("0");
    // Every accepted connection is the server end of a TLS session.
    server.OnClientConnect = [this](TWSocketServer*, TWSocketClient* c, uint16_t) {
      c->StartTlsServer(context);
      Record(*c, server_events);
      c->OnSessionClosed = [this](TWSocket* s, uint16_t code) {
        server_events.push_back("closed " + std::to_string(code) + " in " + std::to_string(s->State()));
        server_error = s->TlsError();
        server_handshake_failed = s->TlsHandshakeFailed();
        server_read_at_close = s->ReadCount();
      };
      if (OnAccepted) OnAccepted(c);
    };
    server.Listen();
  }

  void Start(TWSocket& s, const TTlsClientOptions& options) {
    s.SetTlsClient(options);
    s.SetAddr("127.0.0.1");
    s.SetPort(std::to_string(server.BoundPort()));
    s.Connect();
  }

  // A connect with these options, run until it has been decided.
  struct TOutcome {
    std::vector<std::string> events;
    std::string error;
    int last_error = 0;
    bool handshake_failed = false;
  };
  TOutcome Attempt(const TTlsClientOptions& options) {
    TWSocket s(loop);
    TOutcome outcome;
    Record(s, outcome.events);
    Start(s, options);
    EXPECT_TRUE(loop.RunUntil(
        [&] {
          return std::any_of(outcome.events.begin(), outcome.events.end(),
                             [](const std::string& e) { return e.rfind("connected", 0) == 0; });
        },
        kWait));
    outcome.error = s.TlsError();
    outcome.last_error = s.LastError();
    outcome.handshake_failed = s.TlsHandshakeFailed();
    return outcome;
  }

  test::TTempDir dir;
  std::string cert = dir.File("kelvox.pem");
  std::string key = dir.File("kelvox.key");
  std::shared_ptr<TTlsServerContext> context;
  TEventLoop loop;
  TWSocketServer server{loop};
  std::function<void(TWSocketClient*)> OnAccepted;
  std::vector<std::string> server_events;
  std::string server_error;
  bool server_handshake_failed = false;
  int64_t server_read_at_close = -1;
};

TEST_F(TlsTest, CertificateFilesAndServerContexts) {
  struct stat st {};
  ASSERT_EQ(stat(key.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  const std::string fingerprint = CertificateFingerprint(cert);
  EXPECT_THAT(fingerprint, MatchesRegex("([0-9A-F]{2}:){31}[0-9A-F]{2}"));
  EXPECT_EQ(CertificateFingerprint(dir.File("missing.pem")), "");

  std::string error;
  ASSERT_TRUE(MakeSelfSignedCertificate(dir.File("other.pem"), dir.File("other.key"), "other", error)) << error;
  EXPECT_NE(CertificateFingerprint(dir.File("other.pem")), fingerprint);
  EXPECT_EQ(TTlsServerContext::Load(cert, dir.File("other.key"), error), nullptr);
  EXPECT_THAT(error, HasSubstr("does not belong to the certificate"));
  EXPECT_EQ(TTlsServerContext::Load(dir.File("missing.pem"), key, error), nullptr);
  EXPECT_THAT(error, StartsWith("cannot read the certificate"));
}

// An encrypted key is refused as any unusable key is, without asking for its
// password: a password waiting on standard input (where OpenSSL looks when
// there is no terminal) is not read.
TEST_F(TlsTest, AnEncryptedKeyIsRefusedWithoutAskingForItsPassword) {
  const std::string locked = dir.File("locked.key");
  BIO* in = BIO_new_file(key.c_str(), "r");
  EVP_PKEY* plain = PEM_read_bio_PrivateKey(in, nullptr, nullptr, nullptr);
  BIO* out = BIO_new_file(locked.c_str(), "w");
  const auto* password = reinterpret_cast<const unsigned char*>("secret");
  const int written = PEM_write_bio_PrivateKey(out, plain, EVP_aes_256_cbc(), password, 6, nullptr, nullptr);
  BIO_free(out);
  EVP_PKEY_free(plain);
  BIO_free(in);
  ASSERT_EQ(written, 1);

  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  ASSERT_EQ(write(pipe_fds[1], "secret\n", 7), 7);
  close(pipe_fds[1]);
  const int saved_stdin = dup(0);
  dup2(pipe_fds[0], 0);
  close(pipe_fds[0]);
  std::string error;
  const auto loaded = TTlsServerContext::Load(cert, locked, error);
  dup2(saved_stdin, 0);
  close(saved_stdin);
  std::clearerr(stdin);
  EXPECT_EQ(loaded, nullptr);
  EXPECT_THAT(error, StartsWith("cannot use the key " + locked + ": "));
}

// The client is connected only after the handshake, with the events of a plain
// connect; what the server sends before its handshake is done is held, and the
// lines of one task arrive whole and in order.
TEST_F(TlsTest, ConnectsAfterTheHandshakeAndCarriesLinesBothWays) {
  OnAccepted = [](TWSocketClient* c) { c->SendLine("hello before the handshake"); };
  std::vector<std::string> events;
  TWSocket client(loop);
  Record(client, events);
  Start(client, {"localhost", "", cert});
  ASSERT_TRUE(loop.RunUntil([&] { return events.size() == 5; }, kWait));
  EXPECT_THAT(events, ElementsAre("state 7>1", "state 1>3", "state 3>4", "connected 0",
                                  "data hello before the handshake\r\n"));
  EXPECT_TRUE(client.IsTls());
  EXPECT_EQ(client.TlsError(), "");
  EXPECT_FALSE(client.TlsHandshakeFailed());

  std::string sent;
  for (int i = 0; i < 5000; ++i) {
    client.SendLine(Line(i));
    sent += Line(i) + "\r\n";
  }
  std::string received;
  server.ClientAt(0)->OnDataAvailable = [&](TWSocket* s, uint16_t) { received += s->ReceiveText(); };
  ASSERT_TRUE(loop.RunUntil([&] { return received.size() >= sent.size(); }, kWait));
  EXPECT_TRUE(received == sent);
}

// A reader that pauses holds the sender back through the marks; what the
// session had already received is delivered on resume, nothing lost.
TEST_F(TlsTest, LargeTransferUnderBackPressureLosesNothing) {
  constexpr int kLines = 100000;  // about 10 MiB
  int next = 0;
  int highs = 0;
  TWSocketClient* sender = nullptr;
  const auto feed = [&](TWSocket* s) {
    while (next < kLines && !s->BufferHigh() && s->State() == wsConnected) s->SendLine(Line(next++));
  };
  OnAccepted = [&](TWSocketClient* c) {
    sender = c;
    c->OnBufferHigh = [&](TWSocket*) { ++highs; };
    c->OnBufferLow = feed;
    feed(c);  // held until the handshake is done
  };
  std::vector<std::string> lines;
  TWSocket client(loop);
  client.OnDataAvailable = [&](TWSocket* s, uint16_t) {
    std::string_view line;
    while (s->ReceiveLine(line)) lines.emplace_back(line);
    if (lines.size() > 1000) s->PauseReading();
  };
  Start(client, {"localhost", "", cert});
  ASSERT_TRUE(loop.RunUntil([&] { return client.ReadingPaused() && sender && sender->BufferHigh(); }, kWait));
  const std::size_t at_pause = lines.size();
  loop.RunUntilIdle();
  EXPECT_EQ(lines.size(), at_pause);
  EXPECT_LT(next, kLines);

  client.ResumeReading();
  client.OnDataAvailable = [&](TWSocket* s, uint16_t) {
    std::string_view line;
    while (s->ReceiveLine(line)) lines.emplace_back(line);
  };
  ASSERT_TRUE(loop.RunUntil([&] { return lines.size() == static_cast<std::size_t>(kLines); }, kWait));
  EXPECT_GE(highs, 2);
  std::size_t first_wrong = 0;
  while (first_wrong < lines.size() && lines[first_wrong] == Line(static_cast<int>(first_wrong))) ++first_wrong;
  EXPECT_EQ(first_wrong, lines.size());
}

// A paused socket still completes its handshake, but delivers nothing: the
// line that came with the client's last handshake record waits in the session
// and comes on resume, with nothing more arriving from the OS.
TEST_F(TlsTest, HandshakeRunsWhilePausedAndWhatCameWithItWaits) {
  TWSocketClient* accepted = nullptr;
  std::string got;
  OnAccepted = [&](TWSocketClient* c) {
    accepted = c;
    c->PauseReading();
    c->OnDataAvailable = [&](TWSocket* s, uint16_t) { got += s->ReceiveText(); };
  };
  TWSocket client(loop);
  client.OnSessionConnected = [](TWSocket* s, uint16_t) { s->SendLine("NICK joe"); };
  Start(client, {"localhost", "", cert});
  ASSERT_TRUE(loop.RunUntil(
      [&] { return accepted && client.AllSent() && accepted->ReadCount() == client.WriteCount(); }, kWait));
  loop.RunUntilIdle();
  EXPECT_EQ(got, "");
  accepted->ResumeReading();
  ASSERT_TRUE(loop.RunUntil([&] { return !got.empty(); }, kWait));
  EXPECT_EQ(got, "NICK joe\r\n");
}

TEST_F(TlsTest, ServerCertificateChecksFailAsAConnectDoes) {
  const TOutcome wrong_name = Attempt({"wrong.example", "", cert});
  EXPECT_THAT(wrong_name.events, ElementsAre("state 7>1", "state 1>3", "state 3>4", "connected 10053",
                                             "state 4>7", "closed 0 in 7"));
  EXPECT_EQ(wrong_name.last_error, 10053);
  EXPECT_THAT(wrong_name.error, StartsWith("certificate verify failed: "));
  EXPECT_THAT(wrong_name.error, HasSubstr("hostname mismatch"));
  EXPECT_TRUE(wrong_name.handshake_failed);

  EXPECT_EQ(Attempt({"localhost", "", ""}).error, "certificate verify failed: self-signed certificate");

  // A pinned certificate is all that counts: no trust store, no name.
  std::string pin = CertificateFingerprint(cert);
  pin.erase(std::remove(pin.begin(), pin.end(), ':'), pin.end());
  std::transform(pin.begin(), pin.end(), pin.begin(), [](char c) { return static_cast<char>(std::tolower(c)); });
  const TOutcome pinned = Attempt({"wrong.example", pin, ""});
  EXPECT_EQ(pinned.events.back(), "connected 0");
  EXPECT_EQ(pinned.error, "");
  EXPECT_FALSE(pinned.handshake_failed);

  std::string error;
  ASSERT_TRUE(MakeSelfSignedCertificate(dir.File("other.pem"), dir.File("other.key"), "localhost", error));
  const TOutcome wrong_pin = Attempt({"localhost", CertificateFingerprint(dir.File("other.pem")), ""});
  EXPECT_EQ(wrong_pin.events.back(), "closed 0 in 7");
  EXPECT_EQ(wrong_pin.error, "fingerprint mismatch: the server's is " + CertificateFingerprint(cert));
}

TEST_F(TlsTest, PlainClientFailsTheServersHandshakeAndIsClosed) {
  TRawPeer peer(loop, static_cast<uint16_t>(server.BoundPort()));
  peer.Send("NICK joe\r\nUSER joe 0 * :Joe\r\n");
  ASSERT_TRUE(loop.RunUntil([&] { return server_events.size() == 2 && peer.Eof(); }, kWait));
  EXPECT_THAT(server_events, ElementsAre("closed 10053 in 4", "state 4>7"));
  EXPECT_THAT(server_error, StartsWith("handshake failed: "));
  EXPECT_TRUE(server_handshake_failed);
  EXPECT_EQ(server.State(), wsListening);
}

// Close says close_notify after the last data; the peer ends as on a plain
// peer's close.
TEST_F(TlsTest, CloseSendsCloseNotifyAsAnOrderlyEnd) {
  TWSocket client(loop);
  Start(client, {"localhost", "", cert});
  ASSERT_TRUE(loop.RunUntil([&] { return client.State() == wsConnected; }, kWait));
  client.SendLine("QUIT :bye");
  ASSERT_TRUE(loop.RunUntil([&] { return !server_events.empty(); }, kWait));
  const int64_t read_before = server.ClientAt(0)->ReadCount();
  client.Close();
  ASSERT_TRUE(loop.RunUntil([&] { return server_events.size() == 3; }, kWait));
  EXPECT_THAT(server_events, ElementsAre("data QUIT :bye\r\n", "closed 0 in 4", "state 4>7"));
  EXPECT_GT(server_read_at_close, read_before);  // the alert came before the end
  EXPECT_EQ(server_error, "");
}

}  // namespace
}  // namespace kelvox
