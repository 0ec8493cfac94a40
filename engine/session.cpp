#include "engine/session.h"

#include "base/web_site.h"

namespace kelvox {

std::string BouncerNotice(std::string_view target, std::string_view text) {
  // The target is required by the protocol: without it clients show nothing.
  std::string line = ":Kelvox NOTICE ";
  line += target;
  line += " :\xA9 \xA9 \xA9";
  line += text;
  return line;
}

std::string GreetingBanner() { return "   Kelvox v2.6 by Vostrand - " + std::string(kWebHost) + "\r\n"; }


}  // namespace kelvox
