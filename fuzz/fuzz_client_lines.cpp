// The user's lines in every state: awaiting the password or free, before CONN,
// while the link connects and once linked. The first byte chooses the settings
// and the state, the second the sizes in which the rest arrives.
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
    default:  // linked
      fuzz.Link();
      break;
  }
  fuzz.Feed(*fuzz.user, lines, data[1]);
  return 0;
}
