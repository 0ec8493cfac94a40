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
      timer3_(loop),
      refresh_timer_(loop) {
  // Users who come with TLS are users like the others once their handshake is done.
  for (TListener* listener : {&transport_.Listener(), &transport_.TlsListener()}) {
    listener->OnAccept = [this](std::unique_ptr<TConnection> client) {
      sessions_.ServerClientConnect(std::move(client));
    };
  }
  sessions_.OnClientData = [this](TConnection* s, uint16_t e) { interpreter_.ServerDataAvailable(s, e); };
  interpreter_.OnDie = [this] {
    ExitWithoutConfirm = true;
    Button3Click();
    Quitter1Click();
  };
  log_.Identity = [this](int row) {
    return row >= 1 && row <= sessions_.Count() ? sessions_.Slot(row - 1).Identity : std::string();
  };
  // The checks look names up through the transport, never on the event thread.
  checks_.Resolve = [this](const std::string& name, TAddressChecks::TAnswer done) {
    transport_.ResolveHost(name, [done = std::move(done)](const TResolution& answer) {
      // The lists and the machine's own name compare IPv4 texts first.
      done(answer.Error == 0 ? answer.FirstV4() : std::string());
    });
  };
  refresh_timer_.SetInterval(kListRefreshMs);
  refresh_timer_.OnTimer = [this](TTimer*) {
    checks_.Refresh({&settings_.BanList.Entries(), &settings_.AccessList.Entries(),
                     &settings_.DestinationList.Entries()});
  };
  timer3_.SetInterval(kMinimiseDelayMs);
  timer3_.OnTimer = [this](TTimer* t) { Timer3Timer(t); };
  // Nothing decides who may leave for where until the settings say so.
  settings_.DestinationMode = TListMode::all;
}

TBouncer::~TBouncer() {
  transport_.Listener().OnAccept = nullptr;
  transport_.TlsListener().OnAccept = nullptr;
}

void TBouncer::SettingsReloaded() {
  checks_.RefreshLocalIp();
  refresh_timer_.OnTimer(&refresh_timer_);
}

}  // namespace kelvox
