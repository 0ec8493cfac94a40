// SASL's pieces: AUTHENTICATE lines both ways, PLAIN's payload and the client side
// of SCRAM-SHA-256. Pure: no sockets, no state beyond one exchange. Whatever holds a
// password wipes it when it goes; none of it is ever logged.
#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvox {

/// The longest AUTHENTICATE argument; a payload's base64 goes in chunks of it.
inline constexpr std::size_t kAuthenticateChunk = 400;
/// The most base64 a client may send for one payload: a PLAIN payload is far
/// smaller, and a client cannot make the bouncer hold more.
inline constexpr std::size_t kMaxAuthenticateBase64 = 8 * 1024;

/// Overwrites the string's whole buffer (its spare capacity too) and empties it.
void Wipe(std::string& secret);

/// The bytes in base64, padded.
std::string EncodeBase64(std::string_view bytes);
/// The bytes of padded base64, or nothing when the text is no such base64: a
/// length not a multiple of 4, a byte outside the alphabet, '=' anywhere but in
/// the last two places. "" decodes to "".
std::optional<std::string> DecodeBase64(std::string_view text);

/// The "AUTHENTICATE <chunk>" lines (no CR LF) that carry the payload: its base64
/// in chunks of 400 bytes, then "AUTHENTICATE +" when the last chunk was a full
/// one or the payload is empty, so the reader knows it has ended.
std::vector<std::string> AuthenticateLines(std::string_view payload);

/// Gathers a client's AUTHENTICATE arguments, after its mechanism line, into the
/// payload they carry.
class TAuthenticateReader {
 public:
  enum class TStatus { More, Done, Failed };

  TAuthenticateReader();
  /// Wipes what it read.
  ~TAuthenticateReader();
  TAuthenticateReader(const TAuthenticateReader&) = delete;
  TAuthenticateReader& operator=(const TAuthenticateReader&) = delete;

  /// Takes the argument of the next AUTHENTICATE line. More while chunks of 400
  /// come; Done after a shorter chunk or "+", the payload in `Payload`; Failed on
  /// the client's "*", an empty or over-long argument, more than
  /// kMaxAuthenticateBase64 in all, or bad base64. Done and Failed are final:
  /// any argument after them fails.
  TStatus Take(std::string_view argument);
  /// The decoded payload once Take answered Done.
  const std::string& Payload() const { return payload_; }

 private:
  TStatus Fail();

  std::string base64_;
  std::string payload_;
  bool ended_ = false;
};

/// PLAIN's three fields. The password is wiped when it goes.
struct TSaslPlain {
  std::string Authzid;  // may be empty: act as the authcid
  std::string Authcid;
  std::string Password;

  ~TSaslPlain();
  TSaslPlain() = default;
  TSaslPlain(const TSaslPlain&) = default;
  TSaslPlain& operator=(const TSaslPlain&) = default;

  /// "authzid\0authcid\0password". The caller wipes it once sent.
  std::string Payload() const;
};

/// The fields of a PLAIN payload, or nothing unless it has exactly two NULs and a
/// non-empty authcid and password.
std::optional<TSaslPlain> ReadPlain(std::string_view payload);

/// What a step of SCRAM answers: the message to send (empty after the server's
/// final message), or a failure with its reason.
struct TScramAnswer {
  bool Failed = false;
  std::string Text;  // the message to send, or the reason for the failure
};

/// The client side of SCRAM-SHA-256 without channel binding. The username gets
/// only SCRAM's own escaping ("=" and "," as "=3D" and "=2C"): no SASLprep, which
/// matters only for names and passwords beyond ASCII.
class TScramSha256Client {
 public:
  /// The fewest and the most PBKDF2 iterations taken from a server: the fewest
  /// SCRAM-SHA-256 allows, and a bound so a hostile server cannot keep the event
  /// thread hashing for long.
  static constexpr unsigned kMinIterations = 4096;
  static constexpr unsigned kMaxIterations = 600000;

  TScramSha256Client(std::string user, std::string password);
  /// Wipes the password and the keys.
  ~TScramSha256Client();
  TScramSha256Client(const TScramSha256Client&) = delete;
  TScramSha256Client& operator=(const TScramSha256Client&) = delete;

  /// Makes the client nonce: 18 random bytes in base64. Tests fix it.
  std::function<std::string()> Nonce;

  /// The client-first message "n,,n=<user>,r=<nonce>".
  std::string ClientFirst();
  /// The client-final message with its proof, or a failure: no ClientFirst yet,
  /// a missing attribute, a nonce that does not extend ours, a bad salt, an
  /// iteration count out of bounds.
  TScramAnswer ServerFirst(std::string_view message);
  /// Empty Text when "v=" carries the server's signature; a failure otherwise,
  /// with the server's own text after "e=".
  TScramAnswer ServerFinal(std::string_view message);

 private:
  std::string user_;
  std::string password_;
  std::string client_first_bare_;
  std::string nonce_;
  std::array<unsigned char, 32> server_signature_{};
  bool awaiting_final_ = false;
};

}  // namespace kelvox
