#include "engine/sasl.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <charconv>
#include <stdexcept>

namespace kelvox {
namespace {

using TDigest = std::array<unsigned char, 32>;

bool IsBase64Letter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

TDigest Hmac(const TDigest& key, std::string_view data) {
  TDigest out{};
  unsigned int length = 0;
  HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(data.data()),
       data.size(), out.data(), &length);
  return out;
}

TDigest Sha256(const TDigest& data) {
  TDigest out{};
  EVP_Digest(data.data(), data.size(), out.data(), nullptr, EVP_sha256(), nullptr);
  return out;
}

std::string_view AsText(const TDigest& digest) {
  return {reinterpret_cast<const char*>(digest.data()), digest.size()};
}

/// The value of the attribute "<key>=" among a SCRAM message's fields, or nothing.
std::optional<std::string_view> Attribute(std::string_view message, char key) {
  while (!message.empty()) {
    const std::size_t comma = message.find(',');
    const std::string_view field = message.substr(0, comma);
    if (field.size() >= 2 && field[0] == key && field[1] == '=') return field.substr(2);
    if (comma == std::string_view::npos) break;
    message.remove_prefix(comma + 1);
  }
  return std::nullopt;
}

std::string RandomNonce() {
  std::array<unsigned char, 18> bytes{};
  if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) throw std::runtime_error("no random bytes");
  return EncodeBase64({reinterpret_cast<const char*>(bytes.data()), bytes.size()});
}

TScramAnswer Failure(std::string reason) { return {true, std::move(reason)}; }

}  // namespace

void Wipe(std::string& secret) {
  secret.resize(secret.capacity());  // within the buffer: never reallocates
  OPENSSL_cleanse(secret.data(), secret.size());
  secret.clear();
}

std::string EncodeBase64(std::string_view bytes) {
  std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                     reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
  text.resize(static_cast<std::size_t>(length));
  return text;
}

std::optional<std::string> DecodeBase64(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::size_t padding = 0;
  if (!text.empty() && text.back() == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;
  for (std::size_t i = 0; i < text.size() - padding; ++i) {
    if (!IsBase64Letter(text[i])) return std::nullopt;
  }
  std::string bytes(text.size() / 4 * 3, '\0');
  // EVP_DecodeBlock counts the padding as bytes; it would also skip blanks, which
  // the check above has refused already.
  if (EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()), reinterpret_cast<const unsigned char*>(text.data()),
                      static_cast<int>(text.size())) < 0) {
    return std::nullopt;
  }
  bytes.resize(bytes.size() - padding);
  return bytes;
}

std::vector<std::string> AuthenticateLines(std::string_view payload) {
  const std::string base64 = EncodeBase64(payload);
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < base64.size(); at += kAuthenticateChunk) {
    lines.push_back("AUTHENTICATE " + base64.substr(at, kAuthenticateChunk));
  }
  if (base64.size() % kAuthenticateChunk == 0) lines.emplace_back("AUTHENTICATE +");
  return lines;
}

TAuthenticateReader::TAuthenticateReader() {
  // Room for the most a client may send, so no growth leaves copies behind.
  base64_.reserve(kMaxAuthenticateBase64);
}

TAuthenticateReader::~TAuthenticateReader() {
  Wipe(base64_);
  Wipe(payload_);
}

TAuthenticateReader::TStatus TAuthenticateReader::Fail() {
  ended_ = true;
  Wipe(base64_);
  return TStatus::Failed;
}

TAuthenticateReader::TStatus TAuthenticateReader::Take(std::string_view argument) {
  if (ended_ || argument.empty() || argument == "*" || argument.size() > kAuthenticateChunk) return Fail();
  if (argument != "+") {
    if (base64_.size() + argument.size() > kMaxAuthenticateBase64) return Fail();
    base64_ += argument;
    if (argument.size() == kAuthenticateChunk) return TStatus::More;
  }
  std::optional<std::string> payload = DecodeBase64(base64_);
  if (!payload) return Fail();
  payload_ = std::move(*payload);
  Wipe(*payload);
  Wipe(base64_);
  ended_ = true;
  return TStatus::Done;
}

TSaslPlain::~TSaslPlain() { Wipe(Password); }

std::string TSaslPlain::Payload() const {
  std::string payload;
  payload.reserve(Authzid.size() + Authcid.size() + Password.size() + 2);
  payload.append(Authzid).append(1, '\0').append(Authcid).append(1, '\0').append(Password);
  return payload;
}

std::optional<TSaslPlain> ReadPlain(std::string_view payload) {
  const std::size_t first = payload.find('\0');
  if (first == std::string_view::npos) return std::nullopt;
  const std::size_t second = payload.find('\0', first + 1);
  if (second == std::string_view::npos || payload.find('\0', second + 1) != std::string_view::npos) return std::nullopt;
  TSaslPlain plain;
  plain.Authzid = payload.substr(0, first);
  plain.Authcid = payload.substr(first + 1, second - first - 1);
  plain.Password = payload.substr(second + 1);
  if (plain.Authcid.empty() || plain.Password.empty()) return std::nullopt;
  return plain;
}

TScramSha256Client::TScramSha256Client(std::string user, std::string password)
    : Nonce(RandomNonce), user_(std::move(user)), password_(std::move(password)) {}

TScramSha256Client::~TScramSha256Client() {
  Wipe(password_);
  OPENSSL_cleanse(server_signature_.data(), server_signature_.size());
}

std::string TScramSha256Client::ClientFirst() {
  std::string escaped;
  for (char c : user_) escaped += c == '=' ? "=3D" : c == ',' ? "=2C" : std::string(1, c);
  nonce_ = Nonce();
  awaiting_final_ = false;
  client_first_bare_ = "n=" + escaped + ",r=" + nonce_;
  return "n,," + client_first_bare_;
}

TScramAnswer TScramSha256Client::ServerFirst(std::string_view message) {
  if (client_first_bare_.empty()) return Failure("no client-first message sent");
  if (message.starts_with("m=")) return Failure("unknown mandatory extension");
  const auto nonce = Attribute(message, 'r');
  const auto salt_text = Attribute(message, 's');
  const auto iterations_text = Attribute(message, 'i');
  if (!nonce || !salt_text || !iterations_text) return Failure("attribute missing");
  if (nonce->size() <= nonce_.size() || !nonce->starts_with(nonce_)) return Failure("server nonce does not extend ours");
  const std::optional<std::string> salt = DecodeBase64(*salt_text);
  if (!salt || salt->empty()) return Failure("bad salt");
  unsigned iterations = 0;
  const char* end = iterations_text->data() + iterations_text->size();
  const auto [stop, error] = std::from_chars(iterations_text->data(), end, iterations);
  if (error != std::errc() || stop != end || iterations < kMinIterations || iterations > kMaxIterations) {
    return Failure("iteration count out of bounds");
  }

  TDigest salted{};
  if (PKCS5_PBKDF2_HMAC(password_.data(), static_cast<int>(password_.size()),
                        reinterpret_cast<const unsigned char*>(salt->data()), static_cast<int>(salt->size()),
                        static_cast<int>(iterations), EVP_sha256(), static_cast<int>(salted.size()), salted.data()) != 1) {
    return Failure("PBKDF2 failed");
  }
  TDigest client_key = Hmac(salted, "Client Key");
  TDigest stored_key = Sha256(client_key);
  const std::string without_proof = "c=biws,r=" + std::string(*nonce);
  const std::string auth_message = client_first_bare_ + "," + std::string(message) + "," + without_proof;
  TDigest proof = Hmac(stored_key, auth_message);
  for (std::size_t i = 0; i < proof.size(); ++i) proof[i] ^= client_key[i];
  server_signature_ = Hmac(Hmac(salted, "Server Key"), auth_message);
  for (TDigest* secret : {&salted, &client_key, &stored_key}) OPENSSL_cleanse(secret->data(), secret->size());
  awaiting_final_ = true;
  return {false, without_proof + ",p=" + EncodeBase64(AsText(proof))};
}

TScramAnswer TScramSha256Client::ServerFinal(std::string_view message) {
  if (!awaiting_final_) return Failure("no client-final message sent");
  awaiting_final_ = false;
  if (message.starts_with("e=")) return Failure(std::string(*Attribute(message, 'e')));
  const auto verifier = message.starts_with("v=") ? Attribute(message, 'v') : std::nullopt;
  const std::optional<std::string> signature = verifier ? DecodeBase64(*verifier) : std::nullopt;
  if (!signature || signature->size() != server_signature_.size() ||
      CRYPTO_memcmp(signature->data(), server_signature_.data(), server_signature_.size()) != 0) {
    return Failure("server signature does not match");
  }
  return {};
}

}  // namespace kelvox
