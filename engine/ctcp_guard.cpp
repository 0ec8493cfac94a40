// The CTCP flood guard: per user, at most a few CTCP requests from the IRC server
// reach the client in each 15-second window; the rest are dropped, with one
// warning per window.
#include "engine/bouncer.h"

namespace kelvox {

namespace {

// Requests counted in a window before the guard steps in. The request that opens
// a window is not counted, so a window it opened lets five through.
constexpr int kCtcpPassing = 4;
constexpr int kCtcpFlooded = kCtcpPassing + 1;

}  // namespace

void TBouncer::GuardCtcp(int slot, std::string_view line) {
  TMySocket& record = Slots[static_cast<std::size_t>(slot)];
  if (!record.CtcpProtect) return Relay(slot, line);
  if (record.CtcpTimer && !record.CtcpTimer->Enabled()) {
    record.CtcpTimer->SetEnabled(true);
    return Relay(slot, line);
  }
  if (record.CtcpCount < kCtcpPassing) {
    ++record.CtcpCount;
    return Relay(slot, line);
  }
  if (record.CtcpCount == kCtcpPassing && record.LinkOpen) {
    TTcpSrvClient* client = ClientOfSlot(slot);
    SendNotice(client, "   CTCP Flood!, protection by Kelvox.\r\n");
    SendNotice(client, "   CTCP flood protection is running. /quote $CTCPprotect OFF to remove it.\r\n");
    record.CtcpCount = kCtcpFlooded;
  }
}

void TBouncer::Timercommun(TTimer* Sender) {
  TMySocket& record = Slots[static_cast<std::size_t>(Sender->Tag)];
  if (record.CtcpTimer) record.CtcpTimer->SetEnabled(false);
  record.CtcpCount = 0;
}

}  // namespace kelvox
