// A folder of its own for the settings of a fuzz target, made once per process
// and removed at its end.
#pragma once

#include <stdlib.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

namespace kelvox::fuzz {

inline const std::string& SettingsFolder() {
  // The name outlives every static object, for the removal at exit.
  static char made[] = "/tmp/kelvox-fuzz-XXXXXX";
  static const std::string folder = [] {
    if (mkdtemp(made) == nullptr) std::abort();
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(made, ignored);
    });
    return std::string(made) + "/";
  }();
  return folder;
}

}  // namespace kelvox::fuzz
