#include "console/shell_open.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

extern char** environ;

namespace kelvox {

namespace {

bool IsExecutableFile(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

std::string FindProgram(const std::string& program) {
  if (program.empty()) return {};
  if (program.find('/') != std::string::npos) return IsExecutableFile(program) ? program : std::string();
  const char* path = std::getenv("PATH");
  const std::string dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= dirs.size()) {
    std::size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    const std::string dir = end > start ? dirs.substr(start, end - start) : ".";
    const std::string candidate = dir + "/" + program;
    if (IsExecutableFile(candidate)) return candidate;
    start = end + 1;
  }
  return {};
}

void ShellOpen(const std::string& target, const std::string& opener) {
  const std::string program = FindProgram(opener);
  if (program.empty()) return;
  const std::string argument = !target.empty() && target[0] == '-' ? "./" + target : target;
  // Everything the children need is made before forking: between fork and exec
  // a child of a threaded process may only make async-signal-safe calls.
  char* const argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>(argument.c_str()), nullptr};
  const int null_fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null_fd < 0) return;
  const pid_t child = ::fork();
  if (child == 0) {
    // The grandchild runs the opener; the child ends at once, so the opener is
    // never our child and needs no waiting for.
    if (::fork() == 0) {
      ::setsid();
      // The console blocks and ignores signals for itself; the opener and what
      // it starts get the defaults back.
      sigset_t none;
      ::sigemptyset(&none);
      ::sigprocmask(SIG_SETMASK, &none, nullptr);
      struct sigaction dfl {};
      dfl.sa_handler = SIG_DFL;
      ::sigaction(SIGPIPE, &dfl, nullptr);
      ::dup2(null_fd, STDIN_FILENO);
      ::dup2(null_fd, STDOUT_FILENO);
      ::dup2(null_fd, STDERR_FILENO);
      ::syscall(SYS_close_range, 3U, ~0U, 0U);
      ::execve(program.c_str(), argv, environ);
      ::_exit(127);
    }
    ::_exit(0);
  }
  ::close(null_fd);
  if (child > 0) {
    while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
}

}  // namespace kelvox
