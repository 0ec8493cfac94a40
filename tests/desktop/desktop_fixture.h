// The desktop program's objects as the program makes them, over the real engine
// and the real socket transport, for the widget tests.
#pragma once

#include <string>

#include "app/core.h"
#include "config/settings.h"
#include "desktop/loop_bridge.h"
#include "desktop/main_window.h"
#include "engine/bouncer.h"
#include "engine/socket_transport.h"

namespace kelvox::test {

constexpr int kWaitMs = 5000;

struct TDesktop {
  explicit TDesktop(const std::string& folder) : core(folder) {
    settings.Port = "0";  // the OS picks; read back after Start
    settings.Beep = false;
    settings.Logfile = folder + "log.txt";
    window.Attach(core);
    window.show();  // the first showing writes the headers
  }
  uint16_t Port() { return static_cast<uint16_t>(transport.Listener().BoundPort()); }

  TCore core;
  TEventLoop& loop = core.Loop();
  TQtLoopBridge bridge{loop};
  TMainWindow window{loop};
  TCore& opened = core.Open(window, window.FrontEnd());
  TSettings& settings = opened.Settings();
  TSocketTransport& transport = opened.Transport();
  TBouncer& bouncer = opened.Bouncer();
};

}  // namespace kelvox::test
