// TLS for the socket layer, with OpenSSL over memory buffers: the socket moves
// the encrypted bytes between the descriptor and the session, the session turns
// them into plaintext and back. Nothing here touches a descriptor or blocks;
// a handshake advances as bytes arrive, on the event thread.
#pragma once

#include <memory>
#include <string>

namespace kelvox {

/// What a TLS link to a server checks.
struct TTlsClientOptions {
  /// The server's name as the user gave it: sent in the handshake (SNI, not for
  /// an address) and checked against the certificate (as an address for one).
  std::string HostName;
  /// When set, the certificate's SHA-256 (hex, colons optional, any letter
  /// case) is what is checked instead of the trust store and the name: a
  /// certificate pinned by its fingerprint.
  std::string Fingerprint;
  /// When set, the certificates (PEM) trusted instead of the system's store.
  std::string CaFile;
};

/// A listener's certificate and key (PEM files), loaded once and shared by the
/// sessions it accepts.
class TTlsServerContext {
 public:
  /// nullptr, with `error` telling why, when the files cannot be used.
  static std::shared_ptr<TTlsServerContext> Load(const std::string& cert_file, const std::string& key_file,
                                                 std::string& error);
  ~TTlsServerContext();
  TTlsServerContext(const TTlsServerContext&) = delete;
  TTlsServerContext& operator=(const TTlsServerContext&) = delete;

  struct TImpl;
  TImpl& Impl() const { return *impl_; }

 private:
  explicit TTlsServerContext(std::unique_ptr<TImpl> impl);
  std::unique_ptr<TImpl> impl_;
};

/// Writes a new self-signed certificate and its private key (PEM; the key
/// readable by its owner only) for `common_name`, valid for ten years. False,
/// with `error` telling why, when it could not.
bool MakeSelfSignedCertificate(const std::string& cert_file, const std::string& key_file,
                               const std::string& common_name, std::string& error);

/// The SHA-256 fingerprint of a PEM certificate file, "AB:CD:..."; empty when
/// the file holds no certificate.
std::string CertificateFingerprint(const std::string& cert_file);

}  // namespace kelvox
