#include "config/file_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace kelvox {

namespace {

// Closes a descriptor on every way out of a scope.
class TFd {
 public:
  explicit TFd(int fd) : fd_(fd) {}
  ~TFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  int Get() const { return fd_; }
  /// Closes now; 0 or the errno value of close(2).
  int Close() {
    const int rc = ::close(fd_);
    fd_ = -1;
    return rc == 0 ? 0 : errno;
  }

 private:
  int fd_;
};

int WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return 0;
}

std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// A new, exclusively created file beside `path`; its name goes to `temp`.
int CreateTemp(const std::string& path, mode_t mode, std::string& temp) {
  const std::size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  static unsigned counter = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    temp = dir + "." + base + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

}  // namespace

TFileRead ReadWholeFile(const std::string& path, std::string& bytes) {
  TFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.Get() < 0) return errno == ENOENT ? TFileRead::Missing : TFileRead::Failed;
  std::string content;
  char buffer[8192];
  for (;;) {
    const ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      return TFileRead::Failed;
    }
    content.append(buffer, static_cast<std::size_t>(n));
  }
  bytes = std::move(content);
  return TFileRead::Read;
}

int ReplaceFile(const std::string& path, std::string_view bytes, mode_t mode, const TRenameStep& rename_step) {
  std::string temp;
  TFd fd(CreateTemp(path, mode, temp));
  if (fd.Get() < 0) return errno;
  int err = WriteAll(fd.Get(), bytes);
  if (err == 0 && ::fsync(fd.Get()) != 0) err = errno;
  if (const int close_err = fd.Close(); err == 0) err = close_err;
  if (err == 0) {
    if (rename_step) {
      err = rename_step(temp, path);
    } else if (std::rename(temp.c_str(), path.c_str()) != 0) {
      err = errno;
    }
  }
  if (err != 0) {
    ::unlink(temp.c_str());
    return err;
  }
  // Best effort: makes the rename itself survive a crash; the file is whole
  // either way.
  TFd dir(::open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.Get() >= 0) ::fsync(dir.Get());
  return 0;
}

}  // namespace kelvox
