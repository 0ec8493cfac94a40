#include "engine/session.h"

#include "base/web_site.h"

namespace kelvox {

std::string BouncerNotice(std::string_view nick, std::string_view text) {
  // The target is required by the protocol: without it clients show nothing.
  // A nick that cannot stand as a middle parameter would shift the text into
  // the target's place, so it is addressed as "*", as before registration.
  constexpr std::string_view kBreaks(" \r\n\0", 4);
  const bool fits = !nick.empty() && nick.front() != ':' && nick.find_first_of(kBreaks) == std::string_view::npos;
  std::string line = ":Kelvox NOTICE ";
  line += fits ? nick : "*";
  line += " :\xA9 \xA9 \xA9";
  line += text;
  return line;
}

std::string GreetingBanner() { return "   Kelvox v2.6 by Vostrand - " + std::string(kWebHost) + "\r\n"; }

}  // namespace kelvox
