#include "net/local_socket.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tests/support/temp_dir.h"

namespace kelvox {
namespace {

mode_t ModeOf(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 ? info.st_mode : 0;
}

TEST(LocalSocketTest, ListensPrivatelyAndLeavesALiveSocketAlone) {
  test::TTempDir dir;
  const std::string path = dir.File("kelvox.sock");
  const mode_t mask = ::umask(0);  // the widest the process allows: the socket stays 0600 all the same
  TLocalListener first = ListenLocal(path);
  EXPECT_EQ(::umask(mask), 0u);  // given back
  ASSERT_GE(first.Fd, 0) << std::strerror(first.Error);
  EXPECT_TRUE(S_ISSOCK(ModeOf(path)));
  EXPECT_EQ(ModeOf(path) & 07777, 0600u);

  const int client = ConnectLocal(path);
  ASSERT_GE(client, 0);
  const TLocalListener second = ListenLocal(path);
  EXPECT_EQ(second.Fd, -1);
  EXPECT_EQ(second.Error, EADDRINUSE);
  EXPECT_TRUE(S_ISSOCK(ModeOf(path)));
  ::close(client);

  CloseLocal(first, path);
  EXPECT_EQ(ModeOf(path), 0u);
  EXPECT_EQ(ConnectLocal(path), -1);
  EXPECT_EQ(errno, ENOENT);
}

// A program that ended without removing its socket: nobody accepts there.
TEST(LocalSocketTest, ReplacesAStaleSocketButNoOtherFile) {
  test::TTempDir dir;
  const std::string path = dir.File("kelvox.sock");
  TLocalListener gone = ListenLocal(path);
  ASSERT_GE(gone.Fd, 0);
  ::close(gone.Fd);
  EXPECT_EQ(ConnectLocal(path), -1);
  EXPECT_EQ(errno, ECONNREFUSED);

  TLocalListener fresh = ListenLocal(path);
  ASSERT_GE(fresh.Fd, 0) << std::strerror(fresh.Error);
  const int client = ConnectLocal(path);
  EXPECT_GE(client, 0);
  ::close(client);

  // Its file replaced by another's: closing leaves that one.
  ::unlink(path.c_str());
  dir.Write("kelvox.sock", "not ours");
  CloseLocal(fresh, path);
  EXPECT_EQ(dir.Read("kelvox.sock"), "not ours");
  const TLocalListener refused = ListenLocal(path);
  EXPECT_EQ(refused.Error, EEXIST);
  EXPECT_EQ(dir.Read("kelvox.sock"), "not ours");

  const TLocalListener too_long = ListenLocal(dir.File(std::string(120, 'x')));
  EXPECT_EQ(too_long.Error, ENAMETOOLONG);
}

}  // namespace
}  // namespace kelvox
