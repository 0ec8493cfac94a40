// The arguments of CONN and IP, and the lookup's answer to CONN. The input is
// "IP argument NUL CONN argument"; its first byte chooses the settings and
// whether the lookup finds the name. CONN's target, read and written back as
// the grid shows it, reads as the same target again.
#include <cstdlib>

#include "engine/server_link.h"
#include "fuzz/fuzz_bouncer.h"
#include "net/resolve.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  kelvox::fuzz::TFuzzBouncer fuzz(data[0]);
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::size_t cut = text.find('\0');
  const std::string_view ip = text.substr(0, cut);
  const std::string_view conn = cut == std::string_view::npos ? std::string_view() : text.substr(cut + 1);
  // Line ends inside the arguments would make more lines: those are the line fuzzer's.
  if (ip.find_first_of("\r\n") != std::string_view::npos || conn.find_first_of("\r\n") != std::string_view::npos) {
    return 0;
  }
  const kelvox::TConnTarget target = kelvox::ParseConnTarget(std::string(conn));
  const bool plain_host = target.Host.find(':') == std::string::npos;
  if (!target.Host.empty() && (!plain_host || target.Host == kelvox::TrimControls(target.Host))) {
    const kelvox::TConnTarget again = kelvox::ParseConnTarget(target.Text());
    if (again.Host != target.Host || again.Port != target.Port || again.Tls != target.Tls) std::abort();
  }
  fuzz.Say("PASS pw\r\nIP " + std::string(ip) + "\r\nCONN " + std::string(conn) + "\r\n");
  for (int i = 0; i < 4 && fuzz.transport.Waiting() > 0; ++i) {
    // Whatever name CONN asked for: answered, or not found.
    fuzz.transport.ResolveOldest((data[0] & 0x40) != 0 ? "192.0.2.10" : "");
    fuzz.Settle();
  }
  if (fuzz.transport.LinkCount() > 0) {
    fuzz.transport.Link(0).Answer(data[0] & 0x80 ? 10061 : 0);
    fuzz.Settle();
  }
  return 0;
}
