#include "app/program_options.h"

namespace kelvox {

std::optional<int> ParseProgramOptions(const std::vector<std::string>& args, const TProgramSyntax& syntax,
                                       TProgramOptions& options, std::ostream& errors) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--version") {
      options.Version = true;
    } else if (arg == "--help") {
      options.Help = true;
    } else if (arg == "--start" && syntax.ServiceOptions) {
      options.Start = true;
    } else if (arg == "--make-cert" && syntax.ServiceOptions) {
      options.MakeCert = true;
    } else if (arg == "--console" && syntax.ServiceOptions) {
      options.Console = true;
    } else if (arg == "--config-dir" && i + 1 < args.size() && !args[i + 1].empty()) {
      options.ConfigDir = args[++i];
    } else if (syntax.ToolkitArguments && !arg.starts_with("--")) {
      continue;
    } else {
      if (arg == "--config-dir") {
        errors << syntax.Name << ": --config-dir needs a directory\n" << syntax.Usage;
      } else {
        errors << syntax.Name << ": unknown option '" << arg << "'\n" << syntax.Usage;
      }
      return 2;
    }
  }
  if (options.Console && (options.Start || options.MakeCert)) {
    errors << syntax.Name << ": --console takes no --start nor --make-cert\n" << syntax.Usage;
    return 2;
  }
  return std::nullopt;
}

}  // namespace kelvox
