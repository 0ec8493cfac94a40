#include "app/console_client.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "console/control_socket.h"
#include "net/local_socket.h"

namespace kelvox {
namespace {

// Writes all of it; false when the descriptor refuses.
bool WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) return false;
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

}  // namespace

int AttachConsole(const std::string& folder, int input, int output, std::ostream& errors) {
  const std::string path = folder + TControlSocket::kFileName;
  const int program = ConnectLocal(path);
  if (program < 0) {
    const std::string shown = folder.size() > 1 && folder.back() == '/' ? folder.substr(0, folder.size() - 1) : folder;
    if (errno == ENOENT || errno == ECONNREFUSED) {
      errors << "kelvox: no Kelvox is running with the settings in " << shown << "\n";
    } else {
      errors << "kelvox: cannot reach the Kelvox with the settings in " << shown << ": " << std::strerror(errno)
             << "\n";
    }
    return 1;
  }
  // A closed terminal or program is an error of the write, not the end of the process.
  ::signal(SIGPIPE, SIG_IGN);
  pollfd watched[2] = {{program, POLLIN, 0}, {input, POLLIN, 0}};
  char buf[16384];
  int status = 0;
  for (;;) {
    // Once the input has ended, only the program is watched.
    const nfds_t count = watched[1].fd >= 0 ? 2 : 1;
    if (::poll(watched, count, -1) < 0) {
      if (errno == EINTR) continue;
      status = 1;
      break;
    }
    if (watched[0].revents != 0) {
      const ssize_t got = ::read(program, buf, sizeof buf);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;  // detached, or the program has ended
      if (!WriteAll(output, buf, static_cast<std::size_t>(got))) {
        status = 1;
        break;
      }
    }
    if (count == 2 && watched[1].revents != 0) {
      const ssize_t got = ::read(input, buf, sizeof buf);
      if (got < 0 && errno == EINTR) continue;
      // At the end of the input the program detaches this console once it
      // has run its last line; a program that has closed it still has its
      // last lines read.
      if (got <= 0 || !WriteAll(program, buf, static_cast<std::size_t>(got))) {
        ::shutdown(program, SHUT_WR);
        watched[1].fd = -1;
      }
    }
  }
  ::close(program);
  return status;
}

}  // namespace kelvox
