// What the operator (and KILL) can do to one user, named by its tag.
#include "config/settings.h"
#include "engine/bouncer.h"
#include "engine/console.h"

namespace kelvox {

void TBouncer::AdminNotice(int tag, const std::string& text) {
  sessions_.Tell(tag - 1, "   Administrator notice : " + text + "\r\n");
}

void TBouncer::Ban(int tag) {
  TConnection* client = sessions_.ClientOfSlot(tag - 1);
  if (client == nullptr || client->State() != wsConnected) return;
  settings_.BanList.Add(checks_.ConvertLocalIp(client->PeerAddr()));
  Kick(tag, true);
  if (const TConfigError error = settings_.SaveConfig()) console_.ShowError(*error);
}

}  // namespace kelvox
