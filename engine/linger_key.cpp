// Lingering sessions' keys: their rule and their comparison.
#include "engine/linger_key.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <array>

namespace kelvox {

bool IsLingerKey(std::string_view key) {
  return key.size() >= kMinLingerKey && key.size() <= kMaxLingerKey &&
         std::all_of(key.begin(), key.end(), [](char c) { return c > 0x20 && c < 0x7F; });
}

bool SameLingerKey(std::string_view a, std::string_view b) {
  if (a.size() > kMaxLingerKey || b.size() > kMaxLingerKey) return false;
  // Both go into buffers of one size, so the comparison reads as many bytes
  // whatever the lengths: a guess learns nothing of the key's length either.
  std::array<unsigned char, kMaxLingerKey> left{};
  std::array<unsigned char, kMaxLingerKey> right{};
  std::copy(a.begin(), a.end(), left.begin());
  std::copy(b.begin(), b.end(), right.begin());
  // Both tests always run (no short circuit on the first).
  const int bytes_differ = CRYPTO_memcmp(left.data(), right.data(), left.size());
  const bool same = (bytes_differ | static_cast<int>(a.size() ^ b.size())) == 0;
  OPENSSL_cleanse(left.data(), left.size());
  OPENSSL_cleanse(right.data(), right.size());
  return same;
}

}  // namespace kelvox
