// Handing a document to the desktop's opener: a stand-in opener script records
// the arguments it gets.
#include "console/shell_open.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "net/event_loop.h"
#include "tests/support/loopback.h"
#include "tests/support/temp_dir.h"

namespace kelvox {
namespace {

using test::TTempDir;

class ShellOpenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A descriptor the program would leak to the opener if it passed on any.
    leak_ = open(dir.File("held").c_str(), O_WRONLY | O_CREAT, 0600);
    // The argument count, each argument on a line, where its output goes and
    // whether it got the held descriptor; the file appears whole, by rename.
    dir.Write("opener", "#!/bin/sh\n"
                        "out=$(readlink /proc/$$/fd/1)\n"
                        "if [ -e /proc/$$/fd/" + std::to_string(leak_) + " ]; then fd=leaked; else fd=closed; fi\n"
                        "printf '%s\\n' \"$#\" \"$@\" \"$out\" \"$fd\" > \"$0.part\"\n"
                        "mv \"$0.part\" \"$0.args\"\n");
    chmod(dir.File("opener").c_str(), 0755);
  }
  void TearDown() override { close(leak_); }

  /// What the opener got, once it has run.
  std::string OpenerArgs() {
    EXPECT_TRUE(loop.RunUntil([&] { return dir.Exists("opener.args"); }, test::kWait));
    return dir.Read("opener.args");
  }

  TTempDir dir;
  TEventLoop loop;
  int leak_ = -1;
};

TEST_F(ShellOpenTest, TheTargetIsOneArgumentWhateverItHolds) {
  const std::string target = "/tmp/my logs/$(touch pwned); `x` 'q' \"d\" *.txt";
  ShellOpen(target, dir.File("opener"));
  // One argument, the target byte for byte; no shell ran it.
  EXPECT_EQ(OpenerArgs(), "1\n" + target + "\n/dev/null\nclosed\n");
  EXPECT_FALSE(dir.Exists("pwned"));
}

TEST_F(ShellOpenTest, ATargetThatLooksLikeAnOptionIsAPath) {
  ShellOpen("--version", dir.File("opener"));
  EXPECT_EQ(OpenerArgs(), "1\n./--version\n/dev/null\nclosed\n");
}

TEST_F(ShellOpenTest, AMissingOpenerIsSilent) {
  ShellOpen("http://www.kelvox.net/", dir.File("no-such-opener"));
  ShellOpen("http://www.kelvox.net/", dir.File(""));  // a directory
  EXPECT_EQ(FindProgram(dir.File("no-such-opener")), "");
  EXPECT_EQ(FindProgram(dir.File("opener")), dir.File("opener"));
  EXPECT_EQ(FindProgram("sh").empty(), false);
  EXPECT_EQ(FindProgram("kelvox-no-such-program"), "");
  EXPECT_EQ(FindProgram(""), "");
}

}  // namespace
}  // namespace kelvox
