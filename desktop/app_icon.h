// The program's icon, for the window, the task bar and the tray: drawn here at
// each size the desktop asks for, so that no image file has to travel with the
// program.
#pragma once

#include <QIcon>

namespace kelvox {

/// The installed icon (dist/kelvox-desktop.svg), drawn.
QIcon AppIcon();

}  // namespace kelvox
