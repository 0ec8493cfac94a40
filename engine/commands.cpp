// The bouncer's own commands, offered every line of a user who is free to give
// them. A keyword counts only as the line's first word, a whole-line command only
// as the whole line; no line is two commands, so the table's order is HELP's.
#include <algorithm>

#include "access/address_checks.h"
#include "base/decimal.h"
#include "config/settings.h"
#include "engine/irc_line.h"
#include "engine/line_interpreter.h"
#include "engine/server_link.h"
#include "engine/session_table.h"
#include "net/resolve.h"

namespace kelvox {

enum class TMatch { kFirstWord, kWholeLine };

namespace {

// HELP's lines: seven blanks, the usage in a column this wide, then "| " and
// what the command does.
constexpr std::size_t kUsageWidth = 25;

}  // namespace

struct TLineInterpreter::TCommand {
  std::string_view keyword;
  TMatch match;
  bool needs_admin;                // only for a user logged in with ADMIN
  bool TSettings::*setting;        // a setting that must be on, or nullptr
  void (TLineInterpreter::*run)(int slot, const std::string& line);
  // HELP's line, shown to whoever may give the command; no usage, no line.
  std::string_view usage;
  std::string_view summary;
};

const TLineInterpreter::TCommand TLineInterpreter::kCommands[] = {
    {"kill", TMatch::kFirstWord, true, nullptr, &TLineInterpreter::Kill, "KILL <tag>",
     "Disconnect user, use WhoIsOn to get tag."},
    {"die", TMatch::kFirstWord, true, nullptr, &TLineInterpreter::Die, "DIE", "Stop server."},
    {"conn", TMatch::kFirstWord, false, nullptr, &TLineInterpreter::Conn, "CONN <server>[:<port>]",
     "Connect to IRC server."},
    {"admin", TMatch::kFirstWord, false, nullptr, &TLineInterpreter::Admin, "ADMIN <Password>",
     "Login as administrator."},
    {"timeup", TMatch::kWholeLine, false, &TSettings::TimeUp, &TLineInterpreter::TimeUp, "TIMEUP", "Bouncer uptime."},
    {"time", TMatch::kWholeLine, false, &TSettings::Time, &TLineInterpreter::Time, "TIME", "Bouncer time."},
    {"whoison", TMatch::kWholeLine, false, &TSettings::WhoisOn, &TLineInterpreter::WhoisOn, "WHOISON",
     "List current connections on Bouncer."},
    {"iplist", TMatch::kWholeLine, false, &TSettings::IpList, &TLineInterpreter::IpList, "IPLIST",
     "List available IPs."},
    // IPLIST's answer tells how to use IP.
    {"ip", TMatch::kFirstWord, false, &TSettings::Ip, &TLineInterpreter::Ip, "", ""},
    {"help", TMatch::kWholeLine, false, nullptr, &TLineInterpreter::Help, "", ""},
};

bool TLineInterpreter::Enabled(int slot, const TCommand& command) const {
  return (!command.needs_admin || sessions_.Slot(slot).Admin) &&
         (command.setting == nullptr || settings_.*command.setting);
}

bool TLineInterpreter::RunCommand(int slot, const std::string& line) {
  // A command whose condition fails is passed over: a line that no command
  // takes is held for the IRC server.
  for (const TCommand& command : kCommands) {
    const bool matches = command.match == TMatch::kFirstWord ? FirstWordIs(line, command.keyword)
                                                             : WholeLineIs(line, command.keyword);
    if (matches && Enabled(slot, command)) {
      (this->*command.run)(slot, line);
      return true;
    }
  }
  return false;
}

void TLineInterpreter::Conn(int slot, const std::string& line) { links_.Conn(slot, line); }

void TLineInterpreter::Admin(int slot, const std::string& line) {
  TMySocket& record = sessions_.Slot(slot);
  // The password is compared ignoring case, blanks included. An empty one in the
  // settings lets nobody in.
  const bool right = !settings_.AdminPassword.empty() &&
                     EqualIgnoringCase(ArgumentAfter(line, "admin"), settings_.AdminPassword);
  if (!right) {
    ++sessions_.Counters.RefusedPassword;
    Tell(slot, "   Bad password.\r\n");
    // No unlimited guessing of the password that can stop the bouncer.
    if (++record.AdminFailures >= kMaxAdminFailures) sessions_.Kick(slot + 1, false);
  } else if (record.Admin) {
    Tell(slot, "   You are already logged as Administrator.\r\n");
  } else {
    record.Admin = true;
    Tell(slot, "   You are now logged as Administrator.\r\n");
    Tell(slot, "   Quote /quote help to list your new commands.\r\n");
  }
}

void TLineInterpreter::Help(int slot, const std::string&) {
  for (const TCommand& command : kCommands) {
    if (command.usage.empty() || !Enabled(slot, command)) continue;
    std::string usage(command.usage);
    usage.resize(std::max(kUsageWidth, usage.size()), ' ');
    Tell(slot, "       " + usage + "| " + std::string(command.summary) + "\r\n");
  }
  Tell(slot, "\r\n");
  Tell(slot, "       eg: /quote CONN irc.example.net:6667\r\n");
}

void TLineInterpreter::Die(int, const std::string&) {
  if (OnDie) OnDie();
}

void TLineInterpreter::Kill(int slot, const std::string& line) {
  const int tag = ParseDecimal(TrimControls(ArgumentAfter(line, "kill")));
  if (tag < 1 || tag > sessions_.Count()) {
    Tell(slot, "   Invalid Tag.\r\n");
  } else if (tag == slot + 1) {
    Tell(slot, "   You cant kill yourself !\r\n");
  } else {
    sessions_.Kick(tag, true);
    Tell(slot, "   Done.\r\n");
  }
}

void TLineInterpreter::TimeUp(int slot, const std::string&) {
  Tell(slot, "   Time :" + DateTimeText(Now()) + "\r\n");
  Tell(slot, "     - Software running since " + DateTimeText(running_since_) + "\r\n");
  Tell(slot, "     - Bouncer listening since " + DateTimeText(listening_since_) + "\r\n");
}

void TLineInterpreter::IpList(int slot, const std::string&) {
  const std::vector<std::string>& ips = settings_.SelectableIps;
  Tell(slot, "   Available IPs :\r\n");
  if (ips.size() == 1) {
    Tell(slot, "       " + ips[0] + "\r\n");
  } else {
    for (std::size_t i = 1; i < ips.size(); ++i) {
      Tell(slot, "       #" + std::to_string(i) + "   " + ips[i] + "\r\n");
    }
  }
  Tell(slot, "\r\n");
  Tell(slot, "   Use /quote IP <ip>  or  /quote IP #<Tag_ip> to select ip.\r\n");
}

void TLineInterpreter::Ip(int slot, const std::string& line) {
  const std::vector<std::string>& ips = settings_.SelectableIps;
  std::string address = TrimControls(ArgumentAfter(line, "ip"));
  if (!address.empty() && address.front() == '#') {
    const int number = ParseDecimal(address.substr(1));
    address = number > 0 && static_cast<std::size_t>(number) < ips.size() ? ips[static_cast<std::size_t>(number)]
                                                                          : std::string();
  }
  // An IPv6 address is taken in its compressed form, as the lists compare it.
  const auto v6 = Ipv6Literal(address);
  if (v6) address = v6->Text();
  if (address.empty() || !(v6 || WSocketIsDottedQuad(address))) {
    Tell(slot, "   Invalid Ip.\r\n");
    Tell(slot, "   Use /quote IPLIST to list available IPs.\r\n");
  } else if (checks_.InIpList(settings_.SelectableIps, address)) {
    sessions_.Slot(slot).LocalIp = address;
    Tell(slot, "   Ip " + address + " selected.\r\n");
  } else {
    Tell(slot, "   Ip " + address + " unavailable.\r\n");
    Tell(slot, "   Use /quote IPLIST to list available IPs.\r\n");
  }
}

void TLineInterpreter::Time(int slot, const std::string&) {
  Tell(slot, "   " + DateTimeText(Now()) + "\r\n");
}

void TLineInterpreter::WhoisOn(int slot, const std::string&) {
  const int count = sessions_.Count();
  Tell(slot, "   There are " + std::to_string(count) + " connected users:\r\n");
  for (int tag = count; tag >= 1; --tag) {
    const TMySocket& user = sessions_.Slot(tag - 1);
    Tell(slot, "   #" + std::to_string(tag) + " - " + user.Identity + (user.Server.empty() ? "" : " (" + user.Server + ")") +
                   " - " + DateTimeText(user.ConnectTime) + "\r\n");
  }
}

}  // namespace kelvox
