// The figures in their two forms (the `stats` lines and the metrics' text),
// the process's own figures, and the metrics' HTTP server over real loopback
// connections.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <vector>

#include "console/figures.h"
#include "console/metrics_server.h"
#include "tests/engine/bouncer_fixture.h"
#include "tests/support/loopback.h"
#include "tests/support/recording_transport.h"

namespace kelvox {
namespace {

using test::kWait;
using test::TRawPeer;
using ::testing::ElementsAreArray;
using ::testing::StartsWith;

class FiguresTest : public test::TBouncerFixture<test::TRecordingTransport> {
 protected:
  TFigures figures{bouncer, settings};
};

TEST_F(FiguresTest, StatsPrintsTheCountersOfARun) {
  settings.Beep = false;
  settings.Max = "1";
  bouncer.FormShow();
  bouncer.Button1Click();
  transport.Accept("10.0.0.1");
  transport.Accept("10.0.0.2");  // one too many
  loop.RunUntilIdle();
  std::vector<std::string> lines = StatsLines(figures.Take());
  ASSERT_EQ(lines.size(), 20u);
  EXPECT_THAT(lines[17], StartsWith("stats: uptime seconds "));
  EXPECT_THAT(lines[18], StartsWith("stats: RSS bytes "));
  EXPECT_THAT(lines[19], StartsWith("stats: descriptors "));
  lines.resize(17);
  EXPECT_THAT(lines, ElementsAreArray({"stats: users 1", "stats: links 0", "stats: users admitted 2",
                                       "stats: links opened 0", "stats: lines from server 0",
                                       "stats: bytes from server 0", "stats: lines to server 0",
                                       "stats: bytes to server 0", "stats: refused max 1", "stats: refused ban 0",
                                       "stats: refused access 0", "stats: refused destination 0",
                                       "stats: refused password 0", "stats: refused per-address 0",
                                       "stats: failed lookups 0", "stats: failed TLS handshakes 0",
                                       "stats: back-pressure pauses 0"}));
  // Lingering sessions show once linger is on.
  settings.LingerMinutes = "5";
  EXPECT_EQ(StatsLines(figures.Take())[2], "stats: lingering 0");
}

TEST_F(FiguresTest, MetricsFollowTheExpositionFormat) {
  const std::vector<TFigure> two = {{"users", "kelvox_users", nullptr, "Users.", false, 2},
                                    {"refused max", "kelvox_refusals_total", "max", "Refused.", true, 1},
                                    {"refused ban", "kelvox_refusals_total", "ban", "Refused.", true, 0}};
  EXPECT_EQ(Exposition(two),
            "# HELP kelvox_users Users.\n# TYPE kelvox_users gauge\nkelvox_users 2\n"
            "# HELP kelvox_refusals_total Refused.\n# TYPE kelvox_refusals_total counter\n"
            "kelvox_refusals_total{reason=\"max\"} 1\nkelvox_refusals_total{reason=\"ban\"} 0\n");

  // Every name of the bouncer's own: written once, counters and only they
  // ending in _total, one HELP and one TYPE for all its figures.
  const auto well_named = [](const std::string& name) {
    return name.starts_with("kelvox_") &&
           std::all_of(name.begin(), name.end(), [](char c) { return (c >= 'a' && c <= 'z') || c == '_'; });
  };
  std::map<std::string, const TFigure*> first;
  std::string previous;
  for (const TFigure& figure : figures.Take()) {
    const std::string metric = figure.Metric;
    EXPECT_TRUE(well_named(metric)) << metric;
    EXPECT_EQ(metric.ends_with("_total"), figure.Counter) << metric;
    const auto [seen, fresh] = first.emplace(metric, &figure);
    EXPECT_TRUE(fresh || previous == metric) << metric << " stands apart from its other figures";
    EXPECT_EQ(std::string(seen->second->Help), figure.Help) << metric;
    EXPECT_EQ(seen->second->Counter, figure.Counter) << metric;
    previous = metric;
  }
  EXPECT_EQ(first.size(), 16u);
}

TEST(ProcessFiguresTest, DescriptorsAndResidentMemoryAreTheProcesssOwn) {
  const uint64_t descriptors = OpenDescriptors();
  const int one = open("/dev/null", O_RDONLY);
  const int two = dup(one);
  EXPECT_EQ(OpenDescriptors(), descriptors + 2);
  close(one);
  close(two);

  const uint64_t resident = ResidentBytes();
  const std::vector<char> touched(64 << 20, 1);
  EXPECT_GE(ResidentBytes(), resident + (60 << 20));
  EXPECT_EQ(touched.back(), 1);
}

class MetricsServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server.Serve("0");
    port = static_cast<uint16_t>(server.BoundPort());
  }

  /// What the server answers on a connection of its own, once it has closed.
  std::string Ask(const std::string& request) {
    TRawPeer peer(loop, port);
    peer.Send(request);
    EXPECT_TRUE(loop.RunUntil([&] { return peer.Eof(); }, kWait));
    return peer.Received();
  }
  static std::string FirstLine(const std::string& answer) { return answer.substr(0, answer.find("\r\n")); }

  TEventLoop loop;
  int scrapes = 0;
  TMetricsServer server{loop, [this] {
                          ++scrapes;
                          return std::string("kelvox_users 1\n");
                        }};
  uint16_t port = 0;
};

TEST_F(MetricsServerTest, AnswersGetMetricsAndRefusesTheRest) {
  EXPECT_EQ(Ask("GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: */*\r\n\r\n"),
            "HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4\r\nContent-Length: 15\r\n"
            "Connection: close\r\n\r\nkelvox_users 1\n");
  EXPECT_EQ(FirstLine(Ask("GET /metrics?name=x HTTP/1.0\n\n")), "HTTP/1.1 200 OK");
  EXPECT_EQ(Ask("GET /metricsx HTTP/1.1\r\n\r\n"),
            "HTTP/1.1 404 Not Found\r\nContent-Type: text/plain\r\nContent-Length: 10\r\n"
            "Connection: close\r\n\r\nNot Found\n");
  EXPECT_EQ(FirstLine(Ask("POST /metrics HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc")), "HTTP/1.1 404 Not Found");
  EXPECT_EQ(FirstLine(Ask("hello\r\n\r\n")), "HTTP/1.1 400 Bad Request");
  EXPECT_EQ(scrapes, 2);
  EXPECT_EQ(server.Waiting(), 0);
}

TEST_F(MetricsServerTest, ARequestTooBigOrTooSlowIsAnsweredAndClosed) {
  server.Limits.RequestTime = std::chrono::milliseconds(300);
  TRawPeer slow(loop, port);
  slow.Send("GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n");
  TRawPeer big(loop, port);
  big.Send("GET /metrics HTTP/1.1\r\nX-Filler: " + std::string(9000, 'a'));
  ASSERT_TRUE(loop.RunUntil([&] { return big.Eof(); }, kWait));
  EXPECT_EQ(FirstLine(big.Received()), "HTTP/1.1 431 Request Header Fields Too Large");
  ASSERT_TRUE(loop.RunUntil([&] { return slow.Eof(); }, kWait));
  EXPECT_EQ(FirstLine(slow.Received()), "HTTP/1.1 408 Request Timeout");
  EXPECT_EQ(scrapes, 0);
}

TEST_F(MetricsServerTest, OneConnectionTooManyResetsTheOldest) {
  server.Limits.Connections = 2;
  std::vector<std::unique_ptr<TRawPeer>> idle;
  for (int i = 0; i < 2; ++i) idle.push_back(std::make_unique<TRawPeer>(loop, port));
  ASSERT_TRUE(loop.RunUntil([&] { return server.Waiting() == 2; }, kWait));
  idle.push_back(std::make_unique<TRawPeer>(loop, port));
  ASSERT_TRUE(loop.RunUntil([&] { return idle[0]->Eof(); }, kWait));
  EXPECT_TRUE(idle[0]->WasReset());
  EXPECT_EQ(server.Waiting(), 2);
  // A scrape still gets in, past the idle ones.
  EXPECT_EQ(FirstLine(Ask("GET /metrics HTTP/1.1\r\n\r\n")), "HTTP/1.1 200 OK");
  EXPECT_FALSE(idle[2]->Eof());
}

TEST_F(MetricsServerTest, ServesOneLoopbackPortOrNone) {
  server.Serve("0");  // the same port: nothing changes
  EXPECT_EQ(server.BoundPort(), port);
  server.Serve("");
  EXPECT_FALSE(server.Serving());
  EXPECT_EQ(server.BoundPort(), 0);

  test::TRawListener taken;
  try {
    server.Serve(taken.PortText());
    ADD_FAILURE() << "a port in use was taken";
  } catch (const ESocketException& e) {
    EXPECT_EQ(e.Code(), WSAEADDRINUSE);
  }
  EXPECT_FALSE(server.Serving());
}

}  // namespace
}  // namespace kelvox
