// The user's lines in every state: awaiting the password or free, before CONN,
// while the link connects and once linked. The first byte chooses the settings
// and the state, the second the sizes in which the rest arrives. A lingering
// user shares its session with a second client, which says the same.
#include "fuzz/fuzz_bouncer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  kelvox::fuzz::TFuzzBouncer fuzz(data[0]);
  const std::string_view lines(reinterpret_cast<const char*>(data) + 2, size - 2);
  switch (data[0] >> 4 & 3) {
    case 0:  // awaiting the password, or free
      break;
    case 1:  // linking: the link's connect not answered yet
      fuzz.Say("PASS pw\r\nCONN 192.0.2.10\r\n");
      break;
    case 2:  // linked
      fuzz.Link();
      break;
    default: {  // linked, lingering, with a second client attached
      fuzz.settings.LingerMinutes = "60";
      kelvox::test::TRecordingPeer* server = fuzz.Link(false, true);
      if (server == nullptr) break;
      fuzz.Feed(*server, ":irc.test 001 joe :Welcome\r\n:joe!j@h JOIN #k\r\n", data[1]);
      kelvox::test::TRecordingPeer& second = fuzz.Attach();
      fuzz.Feed(*fuzz.user, lines, data[1]);
      fuzz.Feed(second, lines, data[1]);
      return 0;
    }
  }
  fuzz.Feed(*fuzz.user, lines, data[1]);
  return 0;
}
