// kelvox --console: the operator's terminal attached to the program that runs
// with a settings folder, over its control socket.
#pragma once

#include <ostream>
#include <string>

namespace kelvox {

/// Attaches to the program whose settings are in `folder` (ending in '/'):
/// lines read on `input` go to it, what it sends goes to `output`, until it
/// closes the console (quit, its end) or has gone. The end of `input` is passed
/// on, and what the program still sends is written out. Returns the exit
/// status: 0, or 1 when no program runs there or the console fails, said on
/// `errors` after "kelvox: ".
int AttachConsole(const std::string& folder, int input, int output, std::ostream& errors);

}  // namespace kelvox
