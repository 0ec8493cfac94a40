#include "console/figures.h"

#include <unistd.h>

#include <filesystem>
#include <iterator>
#include <fstream>
#include <system_error>

#include "config/settings.h"
#include "engine/bouncer.h"

namespace kelvox {

namespace {

constexpr const char* kRefusals = "kelvox_refusals_total";
constexpr const char* kRefusalsHelp = "Connections the bouncer refused or ended, by reason.";

}  // namespace

TFigures::TFigures(TBouncer& bouncer, const TSettings& settings)
    : bouncer_(bouncer), settings_(settings), started_(TEventLoop::Clock::now()) {}

std::vector<TFigure> TFigures::Take() const {
  const TSessionTable& sessions = bouncer_.Sessions();
  uint64_t links = 0;
  uint64_t lingering = 0;
  for (int slot = 0; slot < sessions.Count(); ++slot) {
    const TMySocket& record = sessions.Slot(slot);
    if (record.Link && record.Link->State() == wsConnected) ++links;
    if (record.Linger) ++lingering;
  }
  const TCounters& c = bouncer_.Counters();
  const auto uptime =
      std::chrono::duration_cast<std::chrono::seconds>(TEventLoop::Clock::now() - started_).count();
  return {
      {"users", "kelvox_users", nullptr, "Users the bouncer lists, sessions without a client included.", false,
       static_cast<uint64_t>(sessions.Count())},
      {"links", "kelvox_links", nullptr, "Server links connected.", false, links},
      {"lingering", "kelvox_lingering_sessions", nullptr, "Sessions that outlive their client, attached or not.",
       false, lingering, lingering > 0 || settings_.LingerMinutesValue() > 0},
      {"users admitted", "kelvox_users_admitted_total", nullptr, "Connections the listeners handed to the bouncer.",
       true, c.UsersAdmitted},
      {"links opened", "kelvox_links_opened_total", nullptr, "Server links that connected.", true, c.LinksOpened},
      {"lines from server", "kelvox_lines_from_server_total", nullptr, "Lines read from the IRC servers.", true,
       c.LinesFromServer},
      {"bytes from server", "kelvox_bytes_from_server_total", nullptr,
       "Bytes of the lines read from the IRC servers, CR LF counted.", true, c.BytesFromServer},
      {"lines to server", "kelvox_lines_to_server_total", nullptr,
       "Users' lines relayed to the IRC servers once linked.", true, c.LinesToServer},
      {"bytes to server", "kelvox_bytes_to_server_total", nullptr,
       "Bytes of the users' lines relayed to the IRC servers, CR LF counted.", true, c.BytesToServer},
      {"refused max", kRefusals, "max", kRefusalsHelp, true, c.RefusedMax},
      {"refused ban", kRefusals, "ban", kRefusalsHelp, true, c.RefusedBan},
      {"refused access", kRefusals, "access", kRefusalsHelp, true, c.RefusedAccess},
      {"refused destination", kRefusals, "destination", kRefusalsHelp, true, c.RefusedDestination},
      {"refused password", kRefusals, "password", kRefusalsHelp, true, c.RefusedPassword},
      {"refused per-address", kRefusals, "per_address", kRefusalsHelp, true, c.RefusedPerAddress},
      {"failed lookups", "kelvox_failed_lookups_total", nullptr, "Server names of CONN that were not found.", true,
       c.FailedLookups},
      {"failed TLS handshakes", "kelvox_failed_tls_handshakes_total", nullptr,
       "TLS handshakes that failed, of server links and of users on the TLS port.", true, c.FailedTlsHandshakes},
      {"back-pressure pauses", "kelvox_back_pressure_pauses_total", nullptr,
       "Times a user's connections stopped being read while one side was too far behind.", true,
       c.BackPressurePauses},
      {"uptime seconds", "kelvox_uptime_seconds", nullptr, "Seconds since the program started.", false,
       static_cast<uint64_t>(uptime)},
      {"RSS bytes", "kelvox_resident_memory_bytes", nullptr, "Resident memory of the process in bytes.", false,
       ResidentBytes()},
      {"descriptors", "kelvox_open_descriptors", nullptr, "File descriptors the process holds open.", false,
       OpenDescriptors()},
  };
}

uint64_t ResidentBytes() {
  // statm: the sizes in pages; the second is what is resident.
  std::ifstream statm("/proc/self/statm");
  uint64_t size = 0;
  uint64_t resident = 0;
  if (!(statm >> size >> resident)) return 0;
  return resident * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}

uint64_t OpenDescriptors() {
  std::error_code error;
  std::filesystem::directory_iterator entries("/proc/self/fd", error);
  if (error) return 0;
  const auto count = static_cast<uint64_t>(std::distance(begin(entries), end(entries)));
  // The listing itself holds one while it reads.
  return count > 0 ? count - 1 : 0;
}

std::vector<std::string> StatsLines(const std::vector<TFigure>& figures) {
  std::vector<std::string> lines;
  for (const TFigure& figure : figures) {
    if (figure.InStats) lines.push_back(std::string("stats: ") + figure.Label + " " + std::to_string(figure.Value));
  }
  return lines;
}

std::string Exposition(const std::vector<TFigure>& figures) {
  std::string text;
  std::string_view named;  // the name whose HELP and TYPE are written
  for (const TFigure& figure : figures) {
    if (figure.Metric != named) {
      named = figure.Metric;
      text.append("# HELP ").append(named).append(" ").append(figure.Help).append("\n");
      text.append("# TYPE ").append(named).append(figure.Counter ? " counter\n" : " gauge\n");
    }
    text.append(named);
    if (figure.Reason != nullptr) text.append("{reason=\"").append(figure.Reason).append("\"}");
    text.append(" ").append(std::to_string(figure.Value)).append("\n");
  }
  return text;
}

}  // namespace kelvox
