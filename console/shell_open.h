// Opening a file or a web address the way the desktop would: handed to
// xdg-open, which picks the application. Used by "View logs" and the web site.
#pragma once

#include <functional>
#include <string>

namespace kelvox {

/// How a front end opens a document; the parts that open one take it as a hook,
/// so that tests open nothing real.
using TShellOpen = std::function<void(const std::string& target)>;

/// Where a program would be run from: `program` itself when it holds a '/',
/// otherwise the first executable file of that name in the PATH directories;
/// empty when there is none.
std::string FindProgram(const std::string& program);

/// Starts `opener` (default xdg-open) with `target` as its one argument and
/// returns without waiting for it. No shell is involved, so the target's
/// characters mean nothing but themselves; a target beginning with '-' is
/// passed as "./<target>" so that it cannot read as an option. The opener runs
/// detached from the console: its input and output go to /dev/null and it
/// inherits no descriptor beyond those. Nothing is reported when the opener
/// does not exist, cannot start or fails.
void ShellOpen(const std::string& target, const std::string& opener = "xdg-open");

}  // namespace kelvox
