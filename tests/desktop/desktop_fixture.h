// One desktop program's worth of objects over the real engine and the real
// socket transport, in the order the program makes them, for the widget tests.
#pragma once

#include <string>

#include "config/settings.h"
#include "desktop/loop_bridge.h"
#include "desktop/main_window.h"
#include "engine/bouncer.h"
#include "engine/socket_transport.h"

namespace kelvox::test {

constexpr int kWaitMs = 5000;

struct TDesktop {
  explicit TDesktop(const std::string& folder) : settings(folder) {
    settings.Port = "0";  // the OS picks; read back after Start
    settings.Beep = false;
    settings.Logfile = folder + "log.txt";
    window.Attach(bouncer);
    window.show();  // the first showing writes the headers
  }
  uint16_t Port() { return static_cast<uint16_t>(transport.Listener().BoundPort()); }

  TEventLoop loop;
  TQtLoopBridge bridge{loop};
  TMainWindow window{loop};
  TSettings settings;
  TSocketTransport transport{loop};
  TBouncer bouncer{loop, settings, window, transport};
};

}  // namespace kelvox::test
