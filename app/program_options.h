// The command line of either program: the options they share (--config-dir,
// --help, --version) read one way, each program's own beside them.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace kelvox {

struct TProgramOptions {
  std::string ConfigDir;  // empty: the default folder
  bool Help = false;
  bool Version = false;
  bool Start = false;     // kelvox: listen at start whatever AutoStart says
  bool MakeCert = false;  // kelvox: write the TLS port's certificate and key, then exit
  bool Console = false;   // kelvox: attach to the running program's console
};

/// How one program reads its command line.
struct TProgramSyntax {
  std::string_view Name;   // "kelvox", the start of every complaint
  std::string_view Usage;  // printed after a complaint
  /// Takes --start, --make-cert and --console.
  bool ServiceOptions = false;
  /// Leaves the words that do not begin with "--" to the toolkit (Qt's
  /// -platform NAME ...); otherwise they are refused.
  bool ToolkitArguments = false;
};

/// Reads `args` (the words after the program's name) into `options`; the exit
/// status when they are wrong, with the complaint and the usage on `errors`.
std::optional<int> ParseProgramOptions(const std::vector<std::string>& args, const TProgramSyntax& syntax,
                                       TProgramOptions& options, std::ostream& errors);

}  // namespace kelvox
