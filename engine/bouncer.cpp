#include "engine/bouncer.h"

namespace kelvox {

TBouncer::TBouncer(TEventLoop& loop, TSettings& settings, TConsole& console)
    : Server(loop),
      loop_(loop),
      settings_(settings),
      console_(console),
      log_(settings),
      timer3_(loop),
      stall_timer_(loop) {
  Server.Name = "Server";
  Server.Banner = " ";
  Server.BannerToBusy = " ";
  Server.MultiThreaded = true;
  Server.ClientType = [](TEventLoop& l) { return std::make_unique<TTcpSrvClient>(l); };
  Server.OnClientConnect = [this](TWSocketServer* s, TWSocketClient* c, uint16_t e) {
    ServerClientConnect(s, c, e);
  };
  Server.OnClientDisconnect = [this](TWSocketServer* s, TWSocketClient* c, uint16_t e) {
    ServerClientDisconnect(s, c, e);
  };
  // A listener never receives data; its clients get the same handler at admission.
  Server.OnDataAvailable = [this](TWSocket* s, uint16_t e) { ServerDataAvailable(s, e); };
  timer3_.SetInterval(kMinimiseDelayMs);
  timer3_.OnTimer = [this](TTimer* t) { Timer3Timer(t); };
  stall_timer_.OnTimer = [this](TTimer* t) { CheckStalls(t); };
  log_.Identity = [this](int row) { return console_.GetCell(0, row); };
  // Nothing decides who may leave for where until the settings say so.
  settings_.DestinationMode = TListMode::all;
}

TBouncer::~TBouncer() {
  // The sockets close as they are destroyed; none of their events may reach a
  // bouncer that is going away.
  Server.OnClientConnect = nullptr;
  Server.OnClientDisconnect = nullptr;
  for (auto& link : Links) {
    if (!link) continue;
    link->OnChangeState = nullptr;
    link->OnSessionClosed = nullptr;
    link->OnSessionConnected = nullptr;
    link->OnDataAvailable = nullptr;
  }
  for (int i = 0; i < Server.ClientCount(); ++i) {
    Server.ClientAt(i)->OnDataAvailable = nullptr;
  }
}

TTcpSrvClient* TBouncer::ClientOfSlot(int slot) const {
  return static_cast<TTcpSrvClient*>(Server.ClientAt(slot));
}

void TBouncer::ShowUserCount(int count) {
  console_.SetUserCount(std::to_string(count));
  console_.SetTrayHint("Kelvox - ONLINE (" + std::to_string(count) + " users)");
}

}  // namespace kelvox
