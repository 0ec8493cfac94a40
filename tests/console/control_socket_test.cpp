// The control socket on a real UNIX socket in a temporary folder, its consoles
// real connections that the test reads without blocking.
#include "console/control_socket.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sstream>

#include "tests/support/loopback.h"
#include "tests/support/temp_dir.h"

namespace kelvox {
namespace {

using test::kWait;

/// A console at the other end: what it has read so far, and whether the program closed it.
struct TPeer {
  explicit TPeer(const std::string& path) : Fd(ConnectLocal(path)) { ::fcntl(Fd, F_SETFL, O_NONBLOCK); }
  ~TPeer() { ::close(Fd); }
  void Type(const std::string& text) { EXPECT_EQ(::write(Fd, text.data(), text.size()), ssize_t(text.size())); }
  /// Reads what has come; true once it holds `text`.
  bool Has(const std::string& text) {
    char buf[65536];
    ssize_t got;
    while ((got = ::read(Fd, buf, sizeof buf)) > 0) Seen.append(buf, static_cast<std::size_t>(got));
    if (got == 0 || (got < 0 && errno != EAGAIN)) Closed = true;
    return Seen.find(text) != std::string::npos;
  }
  int Fd;
  std::string Seen;
  bool Closed = false;
};

class ControlSocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(control.Listen(path), 0);
    // A command answers to its console alone; a question waits for its console's line.
    control.OnLine = [this](TConsoleSink& from, const std::string& line) {
      if (console.TakeAnswer(line, from)) return;
      const TTextConsole::TTyping typing(console, from);
      if (line == "quit?") {
        console.Print(console.AskOkCancel("Sure?", "Confirm") ? "yes" : "no");
      } else {
        console.Print("answer to " + line);
      }
    };
    control.OnEnd = [this](TConsoleSink& from) { control.Detach(from); };
  }

  test::TTempDir dir;
  const std::string path = dir.File(TControlSocket::kFileName);
  TEventLoop loop;
  std::ostringstream out;
  TTextConsole console{loop, out};
  TControlSocket control{loop, console};
};

TEST_F(ControlSocketTest, ConsolesSeeEveryChangeTheirOwnAnswersAndTheirOwnQuestion) {
  TPeer a(path), b(path);
  ASSERT_TRUE(loop.RunUntil([&] { return control.Count() == 2; }, kWait));
  a.Type("grid\n");
  ASSERT_TRUE(loop.RunUntil([&] { return a.Has("answer to grid\n"); }, kWait));
  console.SetUserCount("1");
  ASSERT_TRUE(loop.RunUntil([&] { return a.Has("users: 1\n") && b.Has("users: 1\n"); }, kWait));
  EXPECT_EQ(a.Seen, "answer to grid\nusers: 1\n");
  EXPECT_EQ(b.Seen, "users: 1\n");

  // Typed in two reads, and answered by the asking console's next line.
  a.Type("qu");
  loop.RunUntilIdle();
  a.Type("it?\n OK \r\n");
  ASSERT_TRUE(loop.RunUntil([&] { return a.Has("yes\n"); }, kWait));
  EXPECT_EQ(a.Seen, "answer to grid\nusers: 1\nask: Sure?\nyes\n");
  EXPECT_EQ(out.str(), "users: 1\n");

  // A console that goes cancels the question it was asked, and what its
  // command still prints goes to every console.
  b.Type("quit?\n");
  ::close(b.Fd);
  b.Fd = -1;
  ASSERT_TRUE(loop.RunUntil([&] { return a.Has("no\n"); }, kWait));
  EXPECT_EQ(control.Count(), 1u);
  EXPECT_EQ(out.str(), "users: 1\nno\n");

  // The end of a console's input, after its last line, detaches it.
  a.Type("last");
  ::shutdown(a.Fd, SHUT_WR);
  ASSERT_TRUE(loop.RunUntil([&] { return a.Has("answer to last\n") && a.Closed; }, kWait));
  EXPECT_EQ(control.Count(), 0u);
}

TEST_F(ControlSocketTest, AConsoleThatStopsReadingIsDroppedWithoutHoldingTheLoop) {
  control.SetOutputLimit(64 * 1024);
  TPeer stuck(path), reading(path);
  ASSERT_TRUE(loop.RunUntil([&] { return control.Count() == 2; }, kWait));
  const std::string line(999, 'x');
  for (int i = 0; i < 2000; ++i) {
    console.Print(line);  // no command runs: to every console
    loop.RunOnce(std::chrono::milliseconds(0));
    reading.Has("");
  }
  ASSERT_TRUE(loop.RunUntil([&] { return reading.Seen.size() == 2000 * 1000; }, kWait));
  EXPECT_EQ(control.Count(), 1u);
  ASSERT_TRUE(loop.RunUntil([&] { return (stuck.Has(""), stuck.Closed); }, kWait));
  EXPECT_LT(stuck.Seen.size(), 1000u * 1000);

  // The socket file goes with the listener; the attached console stays.
  control.Close();
  EXPECT_FALSE(dir.Exists(TControlSocket::kFileName));
  console.SetUserCount("2");
  EXPECT_TRUE(loop.RunUntil([&] { return reading.Has("users: 2\n"); }, kWait));
}

}  // namespace
}  // namespace kelvox
