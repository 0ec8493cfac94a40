// The update check against a version page served on 127.0.0.1 by the test.
#include "console/update_check.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <sstream>
#include <thread>

#include "console/text_console.h"
#include "tests/support/http_server.h"
#include "tests/support/loopback.h"

namespace kelvox {
namespace {

using test::kWait;
using test::THttpServer;

const std::string kSite = "http://www.kelvox.net/";

class UpdateCheckTest : public ::testing::Test {
 protected:
  // A proxy of the machine's must not stand between the test and its server.
  void SetUp() override { setenv("no_proxy", "127.0.0.1", 1); }

  /// Checks against `url` and waits for the answer.
  void CheckOnce(const std::string& url) {
    TUpdateCheck check(loop, console, url);
    check.Recherchedemisejour1Click();
    ASSERT_EQ(console.UpdateText(), "Searching...");
    ASSERT_TRUE(loop.RunUntil([&] { return console.UpdateText() != "Searching..."; }, kWait)) << out.str();
  }

  /// Serves one page with this status and body and checks against it.
  void CheckPage(int status, const std::string& body) {
    server.Responder = [=](const std::string&, std::size_t) {
      return THttpServer::Response(status, status == 200 ? "OK" : "Not Found", body);
    };
    CheckOnce(server.Url());
  }

  TEventLoop loop;
  std::ostringstream out;
  TTextConsole console{loop, out};
  THttpServer server{loop};
};

TEST_F(UpdateCheckTest, ThisVersionIsTheLastReleaseWithoutABeep) {
  CheckPage(200, "<html>version=2.6;</html>");
  EXPECT_EQ(out.str(),
            "update: Searching...\n"
            "update: You ve got the last release.\n"
            "update: " + kSite + "\n");
  EXPECT_EQ(console.BeepCount(), 0);
  EXPECT_EQ(console.UpdateLink(), kSite);

  // The request as the page's server sees it.
  ASSERT_EQ(server.Heads().size(), 1u);
  const std::string head = server.Heads()[0];
  EXPECT_EQ(head.substr(0, head.find("\r\n")), "GET /version.html HTTP/1.1");
  EXPECT_NE(head.find("\r\nUser-Agent: Quenmark WinInet Component\r\n"), std::string::npos) << head;
  EXPECT_NE(head.find("\r\nCache-Control: no-cache\r\n"), std::string::npos) << head;
  EXPECT_NE(head.find("\r\nHost: 127.0.0.1:" + std::to_string(server.Port()) + "\r\n"), std::string::npos) << head;
}

TEST_F(UpdateCheckTest, AnotherVersionIsANewOneWithABeep) {
  CheckPage(200, "version=2.7;");
  EXPECT_EQ(out.str(),
            "update: Searching...\n"
            "update: New version available\n"
            "update: " + kSite + "\n"
            "beep\n");
  EXPECT_EQ(console.BeepCount(), 1);
}

TEST_F(UpdateCheckTest, AVersionWithoutItsSemicolonOrLongerIsNew) {
  // A NUL ends the page: what follows it is not read.
  for (const std::string& body : {std::string("version=2.6"), std::string("version=2.60;"),
                                  std::string("version=2.6\0;", 13)}) {
    out.str("");
    CheckPage(200, body);
    EXPECT_EQ(console.UpdateText(), "New version available") << body;
  }
  EXPECT_EQ(console.BeepCount(), 3);
}

TEST_F(UpdateCheckTest, AnErrorPageOrARefusedConnectionFails) {
  CheckPage(404, "<html><body>Not Found</body></html>");
  EXPECT_EQ(console.UpdateText(), "Update check failed.");
  EXPECT_EQ(console.UpdateLink(), kSite);
  // A page that names the version counts only when it is served as one.
  CheckPage(404, "version=2.7;");
  EXPECT_EQ(console.UpdateText(), "Update check failed.");
  // Served fine, but naming no version.
  CheckPage(200, "<html>maintenance</html>");
  EXPECT_EQ(console.UpdateText(), "Update check failed.");

  test::TClosedPort closed;
  CheckOnce("http://127.0.0.1:" + closed.PortText() + "/version.html");
  EXPECT_EQ(console.UpdateText(), "Update check failed.");
  EXPECT_EQ(console.BeepCount(), 0);
}

TEST_F(UpdateCheckTest, RedirectsAreFollowedButATlsFailureFails) {
  server.Responder = [&](const std::string& head, std::size_t) {
    if (head.rfind("GET /version.html ", 0) == 0) {
      return THttpServer::Response(302, "Found", "", "Location: /moved/version.html\r\n");
    }
    return THttpServer::Response(200, "OK", "version=2.6;");
  };
  CheckOnce(server.Url());
  EXPECT_EQ(console.UpdateText(), "You ve got the last release.");
  ASSERT_EQ(server.Heads().size(), 2u);
  EXPECT_EQ(server.Heads()[1].rfind("GET /moved/version.html HTTP/1.1\r\n", 0), 0u);

  // An https address whose server makes no TLS session, let alone one with a
  // certificate that checks out: the check fails rather than trust the answer.
  THttpServer plain(loop);
  plain.AnswerAtOnce = THttpServer::Response(200, "OK", "version=2.6;");
  server.Responder = [&](const std::string&, std::size_t) {
    return THttpServer::Response(301, "Moved", "",
                                 "Location: https://127.0.0.1:" + std::to_string(plain.Port()) + "/version.html\r\n");
  };
  CheckOnce(server.Url());
  EXPECT_EQ(console.UpdateText(), "Update check failed.");
}

// The first check's request is still held by the server when the second check
// starts: the second's answer decides, and the first's never shows.
TEST_F(UpdateCheckTest, OnlyTheNewestCheckDecides) {
  server.Responder = [](const std::string&, std::size_t number) -> std::optional<std::string> {
    if (number == 0) return std::nullopt;
    return THttpServer::Response(200, "OK", "version=2.6;");
  };
  TUpdateCheck check(loop, console, server.Url());
  check.Recherchedemisejour1Click();
  ASSERT_TRUE(loop.RunUntil([&] { return server.Heads().size() == 1; }, kWait));
  check.Recherchedemisejour1Click();
  ASSERT_TRUE(loop.RunUntil([&] { return console.UpdateText() == "You ve got the last release."; }, kWait));

  server.Answer(0, THttpServer::Response(200, "OK", "version=2.7;"));
  ASSERT_TRUE(loop.RunUntil([&] { return check.RunningRequests() == 0; }, kWait));
  loop.RunUntilIdle();
  EXPECT_EQ(out.str(),
            "update: Searching...\n"
            "update: Searching...\n"
            "update: You ve got the last release.\n"
            "update: " + kSite + "\n");
  EXPECT_EQ(console.BeepCount(), 0);
}

TEST_F(UpdateCheckTest, DestroyingTheCheckEndsItsRequests) {
  {
    TUpdateCheck check(loop, console, server.Url());
    check.Recherchedemisejour1Click();
    ASSERT_TRUE(loop.RunUntil([&] { return server.Heads().size() == 1; }, kWait));
  }
  // The worker has been joined; an answer it may have handed over is dropped.
  loop.RunUntilIdle();
  EXPECT_EQ(console.UpdateText(), "Searching...");
}

TEST(PageVersionTest, TextBetweenTheFirstVersionKeyAndTheNextSemicolon) {
  EXPECT_EQ(TUpdateCheck::PageVersion("version=2.6;"), "2.6");
  EXPECT_EQ(TUpdateCheck::PageVersion("<p>version=3.0;</p> version=2.6;"), "3.0");
  EXPECT_EQ(TUpdateCheck::PageVersion("version=2.6"), "");
  EXPECT_EQ(TUpdateCheck::PageVersion("version=;"), "");
  EXPECT_EQ(TUpdateCheck::PageVersion("Version=2.6;"), std::nullopt);
  EXPECT_EQ(TUpdateCheck::PageVersion(std::string("\0version=2.6;", 13)), std::nullopt);
  EXPECT_EQ(TUpdateCheck::PageVersion(""), std::nullopt);
}

TEST(UpdateUrlTest, TheEnvironmentOverridesTheProductsPage) {
  unsetenv("KELVOX_UPDATE_URL");
  EXPECT_EQ(UpdateUrl(), "http://www.kelvox.net/version.html");
  setenv("KELVOX_UPDATE_URL", "", 1);
  EXPECT_EQ(UpdateUrl(), "http://www.kelvox.net/version.html");
  setenv("KELVOX_UPDATE_URL", "http://127.0.0.1:8080/version.html", 1);
  EXPECT_EQ(UpdateUrl(), "http://127.0.0.1:8080/version.html");
  unsetenv("KELVOX_UPDATE_URL");
}

// The reader itself, on a thread of its own while the loop serves.
class HttpGetTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("no_proxy", "127.0.0.1", 1); }

  THttpAnswer Get(THttpRequest request) {
    THttpAnswer answer;
    std::atomic<bool> done{false};
    std::thread reader([&] {
      answer = HttpGet(request, cancelled);
      done = true;
    });
    const bool ended = loop.RunUntil([&] { return done.load(); }, kWait);
    if (!ended) cancelled = true;
    reader.join();
    EXPECT_TRUE(ended);
    return answer;
  }

  TEventLoop loop;
  THttpServer server{loop};
  std::atomic<bool> cancelled{false};
};

TEST_F(HttpGetTest, AnyStatusIsAnAnswerWithItsWholeBody) {
  const std::string big(100000, 'x');
  server.Responder = [&](const std::string&, std::size_t) { return THttpServer::Response(500, "Oops", big); };
  const THttpAnswer answer = Get({server.Url(), "agent"});
  EXPECT_TRUE(answer.Received);
  EXPECT_EQ(answer.Status, 500);
  EXPECT_EQ(answer.Body, big);
}

TEST_F(HttpGetTest, AnOverlongBodyAStalledServerAndACancelFail) {
  server.Responder = [](const std::string&, std::size_t number) -> std::optional<std::string> {
    if (number == 0) return THttpServer::Response(200, "OK", std::string(64, 'x'));
    return std::nullopt;
  };
  THttpRequest request{server.Url(), "agent"};
  request.MaxBody = 63;
  EXPECT_FALSE(Get(request).Received);

  // The server takes the request and then says nothing.
  request.StallTimeoutMs = 1000;
  EXPECT_FALSE(Get(request).Received);

  request.StallTimeoutMs = 60000;
  cancelled = true;
  EXPECT_FALSE(Get(request).Received);
}

}  // namespace
}  // namespace kelvox
