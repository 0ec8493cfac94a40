// The bouncer's own commands, offered every line of a user who is free to give
// them. They are tried in the order of the table; a keyword counts only as the
// line's first word, a whole-line command only as the whole line.
#include "base/decimal.h"
#include "engine/bouncer.h"
#include "engine/irc_line.h"
#include "net/resolve.h"

namespace kelvox {

enum class TMatch { kFirstWord, kWholeLine };

struct TBouncer::TCommand {
  std::string_view keyword;
  TMatch match;
  bool needs_admin;                // only for a user logged in with ADMIN
  bool TSettings::*setting;        // a setting that must be on, or nullptr
  void (TBouncer::*run)(TTcpSrvClient* client, const std::string& line);
};

const TBouncer::TCommand TBouncer::kCommands[] = {
    {"conn", TMatch::kFirstWord, false, nullptr, &TBouncer::Conn},
    {"admin", TMatch::kFirstWord, false, nullptr, &TBouncer::Admin},
    {"help", TMatch::kWholeLine, false, nullptr, &TBouncer::Help},
    {"die", TMatch::kFirstWord, true, nullptr, &TBouncer::Die},
    {"kill", TMatch::kFirstWord, true, nullptr, &TBouncer::Kill},
    {"timeup", TMatch::kWholeLine, false, &TSettings::TimeUp, &TBouncer::TimeUp},
    {"iplist", TMatch::kWholeLine, false, &TSettings::IpList, &TBouncer::IpList},
    {"ip", TMatch::kFirstWord, false, &TSettings::Ip, &TBouncer::Ip},
    {"time", TMatch::kWholeLine, false, &TSettings::Time, &TBouncer::Time},
    {"whoison", TMatch::kWholeLine, false, &TSettings::WhoisOn, &TBouncer::WhoisOn},
};

bool TBouncer::RunCommand(TTcpSrvClient* client, const std::string& line) {
  const bool admin = Slots[static_cast<std::size_t>(client->Slot)].Admin;
  // A command whose condition fails is passed over: the later ones are tried,
  // and a line that none takes is held for the IRC server.
  for (const TCommand& command : kCommands) {
    const bool matches = command.match == TMatch::kFirstWord ? FirstWordIs(line, command.keyword)
                                                             : WholeLineIs(line, command.keyword);
    const bool enabled = (!command.needs_admin || admin) && (command.setting == nullptr || settings_.*command.setting);
    if (matches && enabled) {
      (this->*command.run)(client, line);
      return true;
    }
  }
  return false;
}

void TBouncer::Admin(TTcpSrvClient* client, const std::string& line) {
  TMySocket& record = Slots[static_cast<std::size_t>(client->Slot)];
  // The password is compared ignoring case, blanks included. An empty one in the
  // settings lets nobody in.
  const bool right = !settings_.AdminPassword.empty() &&
                     EqualIgnoringCase(ArgumentAfter(line, "admin"), settings_.AdminPassword);
  if (!right) {
    SendNotice(client, "   Bad password.\r\n");
    // No unlimited guessing of the password that can stop the bouncer.
    if (++client->AdminFailures >= kMaxAdminFailures) Kick(client->Slot + 1, false);
  } else if (record.Admin) {
    SendNotice(client, "   You are already logged as Administrator.\r\n");
  } else {
    record.Admin = true;
    SendNotice(client, "   You are now logged as Administrator.\r\n");
    SendNotice(client, "   Quote /quote help to list your new commands.\r\n");
  }
}

void TBouncer::Help(TTcpSrvClient* client, const std::string&) {
  if (Slots[static_cast<std::size_t>(client->Slot)].Admin) {
    SendNotice(client, "       KILL <tag>               | Disconnect user, use WhoIsOn to get tag.\r\n");
    SendNotice(client, "       DIE                      | Stop server.\r\n");
  }
  SendNotice(client, "       CONN <server>[:<port>]   | Connect to IRC server.\r\n");
  SendNotice(client, "       ADMIN <Password>         | Login as administrator.\r\n");
  if (settings_.TimeUp) SendNotice(client, "       TIMEUP                   | Bouncer uptime.\r\n");
  if (settings_.Time) SendNotice(client, "       TIME                     | Bouncer time.\r\n");
  if (settings_.WhoisOn) {
    SendNotice(client, "       WHOISON                  | List current connections on Bouncer.\r\n");
  }
  if (settings_.IpList) SendNotice(client, "       IPLIST                   | List available IPs.\r\n");
  SendNotice(client, "\r\n");
  SendNotice(client, "       eg: /quote CONN irc.example.net:6667\r\n");
}

void TBouncer::Die(TTcpSrvClient*, const std::string&) {
  ExitWithoutConfirm = true;
  Button3Click();
  Quitter1Click();
}

void TBouncer::Kill(TTcpSrvClient* client, const std::string& line) {
  const int tag = ParseDecimal(TrimControls(ArgumentAfter(line, "kill")));
  if (tag < 1 || tag > Server.ClientCount()) {
    SendNotice(client, "   Invalid Tag.\r\n");
  } else if (tag == client->Slot + 1) {
    SendNotice(client, "   You cant kill yourself !\r\n");
  } else {
    Kick(tag, true);
    SendNotice(client, "   Done.\r\n");
  }
}

void TBouncer::TimeUp(TTcpSrvClient* client, const std::string&) {
  SendNotice(client, "   Time :" + DateTimeText(Now()) + "\r\n");
  SendNotice(client, "     - Software running since " + DateTimeText(RunningSince) + "\r\n");
  SendNotice(client, "     - Bouncer listening since " + DateTimeText(ListeningSince) + "\r\n");
}

void TBouncer::IpList(TTcpSrvClient* client, const std::string&) {
  const std::vector<std::string>& ips = settings_.SelectableIps;
  SendNotice(client, "   Available IPs :\r\n");
  if (ips.size() == 1) {
    SendNotice(client, "       " + ips[0] + "\r\n");
  } else {
    for (std::size_t i = 1; i < ips.size(); ++i) {
      SendNotice(client, "       #" + std::to_string(i) + "   " + ips[i] + "\r\n");
    }
  }
  SendNotice(client, "\r\n");
  SendNotice(client, "   Use /quote IP <ip>  or  /quote IP #<Tag_ip> to select ip.\r\n");
}

void TBouncer::Ip(TTcpSrvClient* client, const std::string& line) {
  const std::vector<std::string>& ips = settings_.SelectableIps;
  std::string address = TrimControls(ArgumentAfter(line, "ip"));
  if (!address.empty() && address.front() == '#') {
    const int number = ParseDecimal(address.substr(1));
    address = number > 0 && static_cast<std::size_t>(number) < ips.size() ? ips[static_cast<std::size_t>(number)]
                                                                          : std::string();
  }
  if (address.empty() || !WSocketIsDottedQuad(address)) {
    SendNotice(client, "   Invalid Ip.\r\n");
    SendNotice(client, "   Use /quote IPLIST to list available IPs.\r\n");
  } else if (checks_.InIpList(settings_.SelectableIps, address)) {
    Slots[static_cast<std::size_t>(client->Slot)].LocalIp = address;
    SendNotice(client, "   Ip " + address + " selected.\r\n");
  } else {
    SendNotice(client, "   Ip " + address + " unavailable.\r\n");
    SendNotice(client, "   Use /quote IPLIST to list available IPs.\r\n");
  }
}

void TBouncer::Time(TTcpSrvClient* client, const std::string&) {
  SendNotice(client, "   " + DateTimeText(Now()) + "\r\n");
}

void TBouncer::WhoisOn(TTcpSrvClient* client, const std::string&) {
  const int count = Server.ClientCount();
  SendNotice(client, "   There are " + std::to_string(count) + " connected users:\r\n");
  for (int tag = count; tag >= 1; --tag) {
    const std::string nick = console_.GetCell(0, tag);
    const std::string server = console_.GetCell(2, tag);
    const TTcpSrvClient* user = ClientOfSlot(tag - 1);
    const std::string since = DateTimeText(user != nullptr ? user->ConnectTime : 0);
    SendNotice(client, "   #" + std::to_string(tag) + " - " + nick + (server.empty() ? "" : " (" + server + ")") +
                           " - " + since + "\r\n");
  }
}

}  // namespace kelvox
