// The passwords' scrambled form: every password comes back from its stored
// form, and any stored text at all is read without harm.
#include <string_view>

#include "config/password.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (kelvox::UnscramblePassword(kelvox::ScramblePassword(text)) != text) __builtin_trap();
  kelvox::ScramblePassword(kelvox::UnscramblePassword(text));
  return 0;
}
