#include "config/program_file.h"

#include <unistd.h>

#include <climits>

namespace kelvox {

std::string ProgramFilePath() {
  char path[PATH_MAX] = {};
  const ssize_t len = ::readlink("/proc/self/exe", path, sizeof path - 1);
  return len > 0 ? std::string(path, static_cast<std::size_t>(len)) : std::string();
}

std::string DirectoryPart(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? "./" : path.substr(0, slash + 1);
}

std::string FileNamePart(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace kelvox
