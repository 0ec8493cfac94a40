// The running program's own file: its directory holds the configuration, and the
// start-at-logon entry names it.
#pragma once

#include <string>

namespace kelvox {

/// The full path of the running program's file; empty when the system does not
/// tell.
std::string ProgramFilePath();

/// The directory part of a path, with its trailing '/'; "./" for a bare name.
std::string DirectoryPart(const std::string& path);

/// The file name part of a path: what follows its last '/'.
std::string FileNamePart(const std::string& path);

}  // namespace kelvox
