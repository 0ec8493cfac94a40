// The IRC server's lines through the relay: automatic PONG, the CTCP flood
// guard, everything relayed, and for a user that took capabilities the
// bouncer's negotiation with the server. The first byte chooses the settings
// and the capabilities, the second the sizes in which the server's bytes arrive.
#include "fuzz/fuzz_bouncer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  kelvox::fuzz::TFuzzBouncer fuzz(data[0]);
  kelvox::test::TRecordingPeer* server = fuzz.Link((data[0] & 0x20) != 0);
  if (server == nullptr) return 0;
  if (data[0] & 0x10) fuzz.Say("$CTCPprotect off\r\n");
  fuzz.Feed(*server, std::string_view(reinterpret_cast<const char*>(data) + 2, size - 2), data[1]);
  return 0;
}
