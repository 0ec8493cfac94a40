// The IRC server's lines through the relay: automatic PONG, the CTCP flood
// guard, everything relayed, and for a user that took capabilities the
// bouncer's negotiation with the server. The first byte chooses the settings
// and the capabilities, the second the sizes in which the server's bytes arrive.
// With linger (bit 6), the user leaves after a third of the lines, the next
// third is held, and two clients attach for the rest.
#include "fuzz/fuzz_bouncer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  kelvox::fuzz::TFuzzBouncer fuzz(data[0]);
  const bool linger = (data[0] & 0x40) != 0;
  if (linger) fuzz.settings.LingerMinutes = "60";
  kelvox::test::TRecordingPeer* server = fuzz.Link((data[0] & 0x20) != 0, linger);
  if (server == nullptr) return 0;
  if (data[0] & 0x10) fuzz.Say("$CTCPprotect off\r\n");
  const std::string_view lines(reinterpret_cast<const char*>(data) + 2, size - 2);
  if (!linger) {
    fuzz.Feed(*server, lines, data[1]);
    return 0;
  }
  const std::size_t third = lines.size() / 3;
  fuzz.Feed(*server, ":irc.test 001 joe :Welcome\r\n", data[1]);
  fuzz.Feed(*server, lines.substr(0, third), data[1]);
  if (fuzz.user->State() == kelvox::wsConnected) fuzz.user->PeerCloses();
  fuzz.Settle();
  fuzz.Feed(*server, lines.substr(third, third), data[1]);
  fuzz.Attach();
  fuzz.Attach();
  fuzz.Feed(*server, lines.substr(2 * third), data[1]);
  return 0;
}
