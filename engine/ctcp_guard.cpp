// The CTCP flood guard: per user, at most a few CTCP requests from the IRC server
// reach the client in each 15-second window; the rest are dropped, with one
// warning per window.
#include "engine/server_link.h"
#include "engine/session_table.h"

namespace kelvox {

namespace {

// Requests counted in a window before the guard steps in. The request that opens
// a window is not counted, so a window it opened lets five through.
constexpr int kCtcpPassing = 4;
constexpr int kCtcpFlooded = kCtcpPassing + 1;

}  // namespace

void TServerLinks::GuardCtcp(int slot, std::string_view line) {
  TMySocket& record = sessions_.Slot(slot);
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
    Tell(slot, "   CTCP Flood!, protection by Kelvox.\r\n");
    Tell(slot, "   CTCP flood protection is running. /quote $CTCPprotect OFF to remove it.\r\n");
    record.CtcpCount = kCtcpFlooded;
  }
}

void TServerLinks::Timercommun(TTimer* Sender) {
  TMySocket& record = sessions_.Slot(Sender->Tag);
  if (record.CtcpTimer) record.CtcpTimer->SetEnabled(false);
  record.CtcpCount = 0;
}

}  // namespace kelvox
