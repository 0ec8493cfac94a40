// What the bouncer has done since the program started, counted where it happens:
// read by the console's `stats` and the metrics. Only the event thread writes
// or reads them.
#pragma once

#include <cstdint>

namespace kelvox {

struct TCounters {
  // The server's lines read, and the client's lines relayed to it once linked,
  // with their bytes (CR LF counted).
  uint64_t LinesFromServer = 0;
  uint64_t BytesFromServer = 0;
  uint64_t LinesToServer = 0;
  uint64_t BytesToServer = 0;
  // Connections refused or ended, by reason.
  uint64_t RefusedMax = 0;           // "Too many connections, bye."
  uint64_t RefusedPerAddress = 0;    // "Too many connections from your address, bye."
  uint64_t RefusedBan = 0;           // "You are banned, Bye."
  uint64_t RefusedAccess = 0;        // "You are not welcome, Bye."
  uint64_t RefusedPassword = 0;      // a wrong users' password, or a wrong ADMIN one
  uint64_t RefusedDestination = 0;   // CONN to a server the destination rule refuses
  uint64_t FailedLookups = 0;        // CONN's server name not found
  uint64_t FailedTlsHandshakes = 0;  // links' and users' TLS handshakes that failed
  uint64_t BackPressurePauses = 0;   // users held back because one side was too far behind
  uint64_t UsersAdmitted = 0;        // connections the listener handed over
  uint64_t LinksOpened = 0;          // server links that connected
};

}  // namespace kelvox
