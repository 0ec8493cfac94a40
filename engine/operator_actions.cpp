// What the operator (and KILL) can do to one user, named by its tag.
#include "engine/bouncer.h"

namespace kelvox {

void TBouncer::Kick(int tag, bool with_notice) {
  TTcpSrvClient* client = ClientOfSlot(tag - 1);
  if (client == nullptr || client->State() != wsConnected) return;
  if (with_notice) SendNotice(client, "   You were kicked by the administrator.\r\n");
  client->Close();
}

void TBouncer::AdminNotice(int tag, const std::string& text) {
  SendNotice(ClientOfSlot(tag - 1), "   Administrator notice : " + text + "\r\n");
}

void TBouncer::Ban(int tag) {
  TTcpSrvClient* client = ClientOfSlot(tag - 1);
  if (client == nullptr || client->State() != wsConnected) return;
  settings_.BanList.Add(checks_.ConvertLocalIp(client->PeerAddr()));
  Kick(tag, true);
  if (const TConfigError error = settings_.SaveConfig()) console_.ShowError(*error);
}

}  // namespace kelvox
