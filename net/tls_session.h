// One TLS connection's state, private to the socket layer. The session never
// touches the descriptor: the socket feeds it the ciphertext it received and
// takes plaintext out; plaintext to send is staged in the session and sealed
// into records right before the socket hands its output to the OS, so that the
// lines of one task travel in few records. The records go straight into the
// socket's one output buffer.
#pragma once

#include <openssl/ssl.h>

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "net/buffer.h"
#include "net/tls.h"

namespace kelvox {

struct TTlsServerContext::TImpl {
  SSL_CTX* ctx = nullptr;
  ~TImpl() { SSL_CTX_free(ctx); }
};

class TTlsSession {
 public:
  enum class TStep { kMore, kDone, kFailed };
  enum class TRead { kData, kEmpty, kClosed, kFailed };

  /// A session that checks the server as `options` say. nullptr, with `error`
  /// telling why, when the options cannot be used.
  static std::unique_ptr<TTlsSession> Client(const TTlsClientOptions& options, TBuffer& out, std::string& error);
  static std::unique_ptr<TTlsSession> Server(const TTlsServerContext& context, TBuffer& out, std::string& error);
  ~TTlsSession();
  TTlsSession(const TTlsSession&) = delete;
  TTlsSession& operator=(const TTlsSession&) = delete;

  /// Ciphertext received from the peer.
  void Feed(const char* data, std::size_t len) { in_.Write(std::string_view(data, len)); }
  /// Advances the handshake with what was fed.
  TStep Handshake();
  bool Failed() const { return failed_; }
  /// Decrypts up to len bytes. 0 with `result` telling why there are none:
  /// more ciphertext is needed, the peer sent close_notify, or the session failed.
  std::size_t Read(char* data, std::size_t len, TRead& result);
  /// Fed ciphertext not yet decrypted, or plaintext decrypted and not yet read:
  /// a Read can make progress without new bytes from the peer.
  bool HasInput() const;

  /// Stages plaintext to send; a failed session drops it.
  void Write(std::string_view plain) {
    if (!failed_) staged_.Write(plain);
  }
  std::size_t Staged() const { return staged_.Size(); }
  /// Encrypts what is staged into the output, once the handshake is done.
  /// False when the session fails doing it.
  bool Seal();
  /// The orderly end: seals what is staged and adds close_notify (nothing for
  /// a session that failed or never finished its handshake).
  void Close();
  /// Gives back the memory of the session's empty buffers; returns the bytes.
  std::size_t Shrink() { return staged_.Shrink() + in_.Shrink(); }

  /// Why the session failed.
  const std::string& Error() const { return error_; }
  /// Ends the session for a reason found outside it (the peer's end in the
  /// middle of the handshake).
  void Fail(std::string why);
  /// The text for the peer's end in the middle of the handshake.
  std::string PeerGoneText() const;

 private:
  TTlsSession(SSL* ssl, TBuffer& out, bool client);
  static int VerifyPinned(int preverify_ok, X509_STORE_CTX* store);
  static int BioRead(BIO* bio, char* data, std::size_t len, std::size_t* done);
  static int BioWrite(BIO* bio, const char* data, std::size_t len, std::size_t* done);
  /// The socket's buffers as OpenSSL's transport: reads come from what was
  /// fed, writes land in the socket's output.
  static BIO_METHOD* BufferMethod();
  bool Attach();
  bool PinMatches(X509* cert);
  std::string FailureText(int ssl_error);

  SSL* ssl_;
  TBuffer& out_;     // the socket's output: records land here
  TBuffer in_;       // ciphertext fed and not yet taken by OpenSSL
  TBuffer staged_;   // plaintext waiting to be sealed
  bool client_;
  bool established_ = false;
  bool failed_ = false;
  std::string pin_;       // normalised SHA-256 fingerprint, or empty
  std::string pin_seen_;  // the server's fingerprint when it did not match
  std::string error_;
};

}  // namespace kelvox
