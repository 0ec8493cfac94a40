#include "net/local_socket.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kelvox {
namespace {

// The address of `path`; false (errno ENAMETOOLONG) when it does not fit.
bool MakeAddress(const std::string& path, sockaddr_un& address) {
  address = {};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    errno = ENAMETOOLONG;
    return false;
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return true;
}

int Fail(int fd) {
  const int error = errno;
  if (fd >= 0) ::close(fd);
  errno = error;
  return -1;
}

// Binds `fd` at the path with mode 0600 from the start: the mode of the file
// that bind makes is the umask's.
int BindPrivate(int fd, const sockaddr_un& address) {
  const mode_t before = ::umask(0177);
  const int bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  const int error = errno;
  ::umask(before);
  errno = error;
  return bound;
}

// Whether a program accepts at the socket file: a connection that is not
// refused, or a backlog that is full, says one is there.
bool Served(const sockaddr_un& address) {
  const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (probe < 0) return true;  // cannot tell: leave the file alone
  const bool refused = ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
                       (errno == ECONNREFUSED || errno == ENOENT);
  ::close(probe);
  return !refused;
}

}  // namespace

TLocalListener ListenLocal(const std::string& path) {
  TLocalListener listener;
  sockaddr_un address;
  int fd = -1;
  const auto failed = [&] {
    listener.Error = errno;
    Fail(fd);
    return listener;
  };
  if (!MakeAddress(path, address)) return failed();
  fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return failed();
  if (BindPrivate(fd, address) != 0) {
    if (errno != EADDRINUSE) return failed();
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return failed();
    if (!S_ISSOCK(info.st_mode)) {
      errno = EEXIST;
      return failed();
    }
    if (Served(address)) {
      errno = EADDRINUSE;
      return failed();
    }
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) return failed();
    if (BindPrivate(fd, address) != 0) return failed();
  }
  struct stat made {};
  if (::listen(fd, 8) != 0 || ::stat(path.c_str(), &made) != 0) {
    const int error = errno;
    ::unlink(path.c_str());
    errno = error;
    return failed();
  }
  listener.Fd = fd;
  listener.Device = made.st_dev;
  listener.Inode = made.st_ino;
  return listener;
}

void CloseLocal(TLocalListener& listener, const std::string& path) {
  if (listener.Fd < 0) return;
  struct stat info {};
  if (::lstat(path.c_str(), &info) == 0 && info.st_dev == listener.Device && info.st_ino == listener.Inode) {
    ::unlink(path.c_str());
  }
  ::close(listener.Fd);
  listener.Fd = -1;
}

int ConnectLocal(const std::string& path) {
  sockaddr_un address;
  if (!MakeAddress(path, address)) return -1;
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return Fail(fd);
  return fd;
}

}  // namespace kelvox
