#include "engine/bouncer.h"

#include "config/settings.h"
#include "engine/console.h"

namespace kelvox {

TBouncer::TBouncer(TEventLoop& loop, TSettings& settings, TConsole& console, TTransport& transport)
    : loop_(loop),
      settings_(settings),
      console_(console),
      transport_(transport),
      log_(settings),
      sessions_(loop, settings, console, checks_, log_),
      links_(loop, transport, sessions_, settings, checks_, log_),
      interpreter_(sessions_, links_, settings, checks_, RunningSince, ListeningSince),
      timer3_(loop) {
  transport_.Listener().OnAccept = [this](std::unique_ptr<TConnection> client) {
    sessions_.ServerClientConnect(std::move(client));
  };
  sessions_.OnClientData = [this](TConnection* s, uint16_t e) { interpreter_.ServerDataAvailable(s, e); };
  interpreter_.OnDie = [this] {
    ExitWithoutConfirm = true;
    Button3Click();
    Quitter1Click();
  };
  log_.Identity = [this](int row) {
    return row >= 1 && row <= sessions_.Count() ? sessions_.Slot(row - 1).Identity : std::string();
  };
  timer3_.SetInterval(kMinimiseDelayMs);
  timer3_.OnTimer = [this](TTimer* t) { Timer3Timer(t); };
  // Nothing decides who may leave for where until the settings say so.
  settings_.DestinationMode = TListMode::all;
}

TBouncer::~TBouncer() { transport_.Listener().OnAccept = nullptr; }

}  // namespace kelvox
