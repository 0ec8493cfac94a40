#include "net/tls.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "net/tls_session.h"

namespace kelvox {

namespace {

template <typename T, void (*Free)(T*)>
struct TFree {
  void operator()(T* p) const { Free(p); }
};
using TBioPtr = std::unique_ptr<BIO, TFree<BIO, BIO_free_all>>;
using TX509Ptr = std::unique_ptr<X509, TFree<X509, X509_free>>;
using TKeyPtr = std::unique_ptr<EVP_PKEY, TFree<EVP_PKEY, EVP_PKEY_free>>;
using TBignumPtr = std::unique_ptr<BIGNUM, TFree<BIGNUM, BN_free>>;
using TExtensionPtr = std::unique_ptr<X509_EXTENSION, TFree<X509_EXTENSION, X509_EXTENSION_free>>;

/// The reason of the first error OpenSSL queued on this thread; the queue is
/// emptied.
std::string OpenSslReason() {
  const unsigned long err = ERR_peek_error();
  const char* reason = err != 0 ? ERR_reason_error_string(err) : nullptr;
  ERR_clear_error();
  return reason != nullptr ? reason : "unknown error";
}

std::string SystemReason(int err) { return std::system_category().message(err); }

/// An IPv4 or IPv6 literal, which certificates name as an address.
bool IsAddressLiteral(const std::string& host) {
  unsigned char scratch[sizeof(in6_addr)];
  return inet_pton(AF_INET, host.c_str(), scratch) == 1 || inet_pton(AF_INET6, host.c_str(), scratch) == 1;
}

/// The SHA-256 of the certificate's DER, upper-case hex, with or without colons.
std::string Fingerprint(X509* cert, bool colons) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (X509_digest(cert, EVP_sha256(), md, &len) != 1) return {};
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (unsigned int i = 0; i < len; ++i) {
    if (colons && i > 0) text += ':';
    text += kHex[md[i] >> 4];
    text += kHex[md[i] & 0xF];
  }
  return text;
}

/// A pin as the user wrote it, without colons (or blanks) and upper-case.
std::string NormalisePin(const std::string& pin) {
  std::string hex;
  for (const char c : pin) {
    if (c == ':' || std::isspace(static_cast<unsigned char>(c))) continue;
    hex += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return hex;
}

bool IsSha256Hex(const std::string& hex) {
  return hex.size() == 64 &&
         std::all_of(hex.begin(), hex.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
}

/// Writes the file whole; the mode applies to a new file, and with `force_mode`
/// to an existing one too (before a byte is written).
bool WriteFile(const std::string& path, const std::string& bytes, mode_t mode, bool force_mode, std::string& error) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  int err = fd < 0 ? errno : 0;
  if (err == 0 && force_mode && fchmod(fd, mode) != 0) err = errno;
  for (std::size_t done = 0; err == 0 && done < bytes.size();) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno != EINTR) {
      err = errno;
    }
  }
  if (fd >= 0 && close(fd) != 0 && err == 0) err = errno;
  if (err != 0) error = "cannot write " + path + ": " + SystemReason(err);
  return err == 0;
}

/// What a PEM writer wrote into a fresh memory BIO; empty when it failed.
template <typename T, typename Object>
std::string Pem(int (*write)(BIO*, T*), Object* object) {
  const TBioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio || write(bio.get(), object) != 1) return {};
  char* data = nullptr;
  const long len = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(len));
}

int WriteKey(BIO* bio, EVP_PKEY* key) {
  return PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
}

bool AddExtension(X509* cert, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  const TExtensionPtr ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str()));
  return ext && X509_add_ext(cert, ext.get(), -1) == 1;
}

// Settings that every context of ours shares.
void CommonSettings(SSL_CTX* ctx) {
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION);
  // An idle connection gives its record buffers back.
  SSL_CTX_set_mode(ctx, SSL_MODE_RELEASE_BUFFERS);
}

SSL_CTX* NewClientContext() {
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  if (ctx == nullptr) return nullptr;
  CommonSettings(ctx);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  return ctx;
}

/// The context of links checked against the system's trust store, made at the
/// first use and kept for the life of the process (the store is read once).
SSL_CTX* SystemStoreContext(std::string& error) {
  static SSL_CTX* const shared = [] {
    SSL_CTX* ctx = NewClientContext();
    if (ctx != nullptr && SSL_CTX_set_default_verify_paths(ctx) != 1) {
      SSL_CTX_free(ctx);
      ctx = nullptr;
    }
    return ctx;
  }();
  if (shared == nullptr) error = "cannot use the system's certificates: " + OpenSslReason();
  return shared;
}

}  // namespace

// --- server context ---------------------------------------------------------

TTlsServerContext::TTlsServerContext(std::unique_ptr<TImpl> impl) : impl_(std::move(impl)) {}
TTlsServerContext::~TTlsServerContext() = default;

std::shared_ptr<TTlsServerContext> TTlsServerContext::Load(const std::string& cert_file, const std::string& key_file,
                                                           std::string& error) {
  ERR_clear_error();
  auto impl = std::make_unique<TImpl>();
  impl->ctx = SSL_CTX_new(TLS_server_method());
  if (impl->ctx == nullptr) {
    error = "cannot make a TLS context: " + OpenSslReason();
    return nullptr;
  }
  CommonSettings(impl->ctx);
  // Sessions are not resumed: no tickets to send after each handshake.
  SSL_CTX_set_num_tickets(impl->ctx, 0);

  if (FILE* probe = std::fopen(cert_file.c_str(), "r")) {
    std::fclose(probe);
  } else {
    error = "cannot read the certificate " + cert_file + ": " + SystemReason(errno);
    return nullptr;
  }
  if (SSL_CTX_use_certificate_chain_file(impl->ctx, cert_file.c_str()) != 1) {
    error = "cannot use the certificate " + cert_file + ": " + OpenSslReason();
    return nullptr;
  }
  const TBioPtr key_bio(BIO_new_file(key_file.c_str(), "r"));
  if (!key_bio) {
    error = "cannot read the key " + key_file + ": " + SystemReason(errno);
    ERR_clear_error();
    return nullptr;
  }
  // No password is ever asked for: OpenSSL's own callback would wait for one
  // on the terminal, on the event thread. An encrypted key is refused.
  const auto no_password = [](char*, int, int, void*) { return 0; };
  const TKeyPtr key(PEM_read_bio_PrivateKey(key_bio.get(), nullptr, no_password, nullptr));
  if (!key) {
    error = "cannot use the key " + key_file + ": " + OpenSslReason();
    return nullptr;
  }
  if (X509_check_private_key(SSL_CTX_get0_certificate(impl->ctx), key.get()) != 1) {
    ERR_clear_error();
    error = "the key " + key_file + " does not belong to the certificate " + cert_file;
    return nullptr;
  }
  if (SSL_CTX_use_PrivateKey(impl->ctx, key.get()) != 1) {
    error = "cannot use the key " + key_file + ": " + OpenSslReason();
    return nullptr;
  }
  return std::shared_ptr<TTlsServerContext>(new TTlsServerContext(std::move(impl)));
}

// --- certificate files ------------------------------------------------------

bool MakeSelfSignedCertificate(const std::string& cert_file, const std::string& key_file,
                               const std::string& common_name, std::string& error) {
  if (common_name.empty() || std::any_of(common_name.begin(), common_name.end(), [](char c) {
        return c == ',' || std::iscntrl(static_cast<unsigned char>(c));
      })) {
    error = "cannot name a certificate \"" + common_name + "\"";
    return false;
  }
  ERR_clear_error();
  const auto failed = [&error](const char* what) {
    error = std::string(what) + ": " + OpenSslReason();
    return false;
  };
  const TKeyPtr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
  if (!key) return failed("cannot make a key");
  const TX509Ptr cert(X509_new());
  const TBignumPtr serial(BN_new());
  if (!cert || !serial) return failed("cannot make a certificate");
  X509* x = cert.get();
  // A random positive serial number of at most 16 octets.
  bool ok = X509_set_version(x, X509_VERSION_3) == 1 &&
            BN_rand(serial.get(), 127, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) == 1 &&
            BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(x)) != nullptr &&
            X509_gmtime_adj(X509_getm_notBefore(x), 0) != nullptr &&
            X509_time_adj_ex(X509_getm_notAfter(x), 3653, 0, nullptr) != nullptr &&
            X509_set_pubkey(x, key.get()) == 1;
  X509_NAME* name = X509_get_subject_name(x);
  ok = ok &&
       X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                  reinterpret_cast<const unsigned char*>(common_name.c_str()), -1, -1, 0) == 1 &&
       X509_set_issuer_name(x, name) == 1;
  ok = ok && AddExtension(x, NID_basic_constraints, "critical,CA:FALSE") &&
       AddExtension(x, NID_subject_key_identifier, "hash") &&
       AddExtension(x, NID_ext_key_usage, "serverAuth") &&
       AddExtension(x, NID_subject_alt_name, (IsAddressLiteral(common_name) ? "IP:" : "DNS:") + common_name);
  if (!ok) return failed("cannot make a certificate");
  if (X509_sign(x, key.get(), EVP_sha256()) <= 0) return failed("cannot sign the certificate");

  const std::string key_pem = Pem(WriteKey, key.get());
  const std::string cert_pem = Pem(PEM_write_bio_X509, x);
  if (key_pem.empty() || cert_pem.empty()) return failed("cannot write PEM");
  return WriteFile(key_file, key_pem, 0600, true, error) && WriteFile(cert_file, cert_pem, 0644, false, error);
}

std::string CertificateFingerprint(const std::string& cert_file) {
  const TBioPtr bio(BIO_new_file(cert_file.c_str(), "r"));
  const TX509Ptr cert(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
  ERR_clear_error();
  return cert ? Fingerprint(cert.get(), true) : std::string();
}

// --- the session ------------------------------------------------------------

namespace {

long BufferCtrl(BIO*, int cmd, long, void*) {
  // Nothing is buffered on the way: a flush has nothing to do.
  return cmd == BIO_CTRL_FLUSH ? 1 : 0;
}

int BufferCreate(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

}  // namespace

int TTlsSession::BioRead(BIO* bio, char* data, std::size_t len, std::size_t* done) {
  auto* self = static_cast<TTlsSession*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  const std::string_view fed = self->in_.Peek();
  if (fed.empty()) {
    BIO_set_retry_read(bio);
    *done = 0;
    return 0;
  }
  const std::size_t count = std::min(len, fed.size());
  std::memcpy(data, fed.data(), count);
  self->in_.Remove(count);
  *done = count;
  return 1;
}

int TTlsSession::BioWrite(BIO* bio, const char* data, std::size_t len, std::size_t* done) {
  auto* self = static_cast<TTlsSession*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  self->out_.Write(std::string_view(data, len));
  *done = len;
  return 1;
}

BIO_METHOD* TTlsSession::BufferMethod() {
  static BIO_METHOD* const method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "kelvox socket buffers");
    if (m != nullptr) {
      BIO_meth_set_read_ex(m, BioRead);
      BIO_meth_set_write_ex(m, BioWrite);
      BIO_meth_set_ctrl(m, BufferCtrl);
      BIO_meth_set_create(m, BufferCreate);
    }
    return m;
  }();
  return method;
}

TTlsSession::TTlsSession(SSL* ssl, TBuffer& out, bool client) : ssl_(ssl), out_(out), client_(client) {
  SSL_set_app_data(ssl_, this);
}

TTlsSession::~TTlsSession() { SSL_free(ssl_); }

bool TTlsSession::Attach() {
  BIO_METHOD* method = BufferMethod();
  BIO* bio = method != nullptr ? BIO_new(method) : nullptr;
  if (bio == nullptr) return false;
  BIO_set_data(bio, this);
  SSL_set_bio(ssl_, bio, bio);
  return true;
}

std::unique_ptr<TTlsSession> TTlsSession::Client(const TTlsClientOptions& options, TBuffer& out,
                                                 std::string& error) {
  ERR_clear_error();
  const std::string pin = NormalisePin(options.Fingerprint);
  if (!options.Fingerprint.empty() && !IsSha256Hex(pin)) {
    error = "the fingerprint is no SHA-256 fingerprint (64 hex digits)";
    return nullptr;
  }
  if (pin.empty() && options.HostName.empty()) {
    error = "no server name to check the certificate against";
    return nullptr;
  }
  SSL* ssl = nullptr;
  if (pin.empty() && !options.CaFile.empty()) {
    SSL_CTX* ctx = NewClientContext();
    if (ctx == nullptr) {
      error = "cannot make a TLS context: " + OpenSslReason();
      return nullptr;
    }
    if (SSL_CTX_load_verify_locations(ctx, options.CaFile.c_str(), nullptr) != 1) {
      error = "cannot use the certificates of " + options.CaFile + ": " + OpenSslReason();
      SSL_CTX_free(ctx);
      return nullptr;
    }
    ssl = SSL_new(ctx);
    SSL_CTX_free(ctx);  // the session holds its own reference
  } else {
    SSL_CTX* ctx = SystemStoreContext(error);
    if (ctx == nullptr) return nullptr;
    ssl = SSL_new(ctx);
  }
  if (ssl == nullptr) {
    error = "cannot make a TLS session: " + OpenSslReason();
    return nullptr;
  }
  std::unique_ptr<TTlsSession> session(new TTlsSession(ssl, out, true));
  session->pin_ = pin;
  bool ok = session->Attach();
  const std::string& host = options.HostName;
  if (!host.empty() && !IsAddressLiteral(host)) {
    // SSL_set_tlsext_host_name, without the macro's cast.
    ok = ok && SSL_ctrl(ssl, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                        const_cast<char*>(host.c_str())) == 1;
  }
  if (!pin.empty()) {
    // Any chain will do; the certificate itself must be the pinned one.
    SSL_set_verify(ssl, SSL_VERIFY_PEER, VerifyPinned);
  } else if (IsAddressLiteral(host)) {
    ok = ok && X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host.c_str()) == 1;
  } else {
    SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    ok = ok && SSL_set1_host(ssl, host.c_str()) == 1;
  }
  if (!ok) {
    error = "cannot make a TLS session: " + OpenSslReason();
    return nullptr;
  }
  SSL_set_connect_state(ssl);
  return session;
}

std::unique_ptr<TTlsSession> TTlsSession::Server(const TTlsServerContext& context, TBuffer& out,
                                                 std::string& error) {
  ERR_clear_error();
  SSL* ssl = SSL_new(context.Impl().ctx);
  if (ssl == nullptr) {
    error = "cannot make a TLS session: " + OpenSslReason();
    return nullptr;
  }
  std::unique_ptr<TTlsSession> session(new TTlsSession(ssl, out, false));
  if (!session->Attach()) {
    error = "cannot make a TLS session: " + OpenSslReason();
    return nullptr;
  }
  SSL_set_accept_state(ssl);
  return session;
}

bool TTlsSession::PinMatches(X509* cert) {
  if (Fingerprint(cert, false) == pin_) return true;
  pin_seen_ = Fingerprint(cert, true);
  return false;
}

int TTlsSession::VerifyPinned(int, X509_STORE_CTX* store) {
  // Only the server's own certificate counts; whatever its chain says.
  if (X509_STORE_CTX_get_error_depth(store) != 0) return 1;
  auto* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
  auto* self = static_cast<TTlsSession*>(SSL_get_app_data(ssl));
  X509* cert = X509_STORE_CTX_get_current_cert(store);
  if (self != nullptr && cert != nullptr && self->PinMatches(cert)) return 1;
  X509_STORE_CTX_set_error(store, X509_V_ERR_APPLICATION_VERIFICATION);
  return 0;
}

TTlsSession::TStep TTlsSession::Handshake() {
  if (failed_) return TStep::kFailed;
  if (established_) return TStep::kDone;
  ERR_clear_error();
  const int done = SSL_do_handshake(ssl_);
  if (done == 1) {
    // The pin is checked once more on the certificate the session ended with.
    X509* cert = client_ && !pin_.empty() ? SSL_get0_peer_certificate(ssl_) : nullptr;
    if (client_ && !pin_.empty() && (cert == nullptr || !PinMatches(cert))) {
      Fail(FailureText(SSL_ERROR_SSL));
      return TStep::kFailed;
    }
    established_ = true;
    return TStep::kDone;
  }
  const int err = SSL_get_error(ssl_, done);
  if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) return TStep::kMore;
  Fail(FailureText(err));
  return TStep::kFailed;
}

std::string TTlsSession::FailureText(int ssl_error) {
  if (!pin_seen_.empty()) return "fingerprint mismatch: the server's is " + pin_seen_;
  if (ssl_error == SSL_ERROR_ZERO_RETURN) return PeerGoneText();
  if (client_ && pin_.empty()) {
    const long result = SSL_get_verify_result(ssl_);
    if (result != X509_V_OK) {
      ERR_clear_error();
      return std::string("certificate verify failed: ") + X509_verify_cert_error_string(result);
    }
  }
  if (ERR_peek_error() == 0) return "handshake failed";
  return "handshake failed: " + OpenSslReason();
}

std::string TTlsSession::PeerGoneText() const {
  return client_ ? "the server closed the connection during the handshake"
                 : "the client closed the connection during the handshake";
}

void TTlsSession::Fail(std::string why) {
  failed_ = true;
  error_ = std::move(why);
  staged_.Clear();
  in_.Clear();
}

std::size_t TTlsSession::Read(char* data, std::size_t len, TRead& result) {
  if (failed_) {
    result = TRead::kFailed;
    return 0;
  }
  ERR_clear_error();
  std::size_t got = 0;
  if (SSL_read_ex(ssl_, data, len, &got) == 1) {
    result = TRead::kData;
    return got;
  }
  switch (SSL_get_error(ssl_, 0)) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
      result = TRead::kEmpty;
      break;
    case SSL_ERROR_ZERO_RETURN:
      result = TRead::kClosed;
      break;
    default:
      Fail("the connection failed: " + OpenSslReason());
      result = TRead::kFailed;
      break;
  }
  return 0;
}

bool TTlsSession::HasInput() const { return !failed_ && (!in_.Empty() || SSL_pending(ssl_) > 0); }

bool TTlsSession::Seal() {
  // A session that failed before has nothing to seal; its end is reported.
  if (failed_ || !established_) return true;
  while (!staged_.Empty()) {
    const std::string_view plain = staged_.Peek();
    std::size_t sent = 0;
    ERR_clear_error();
    if (SSL_write_ex(ssl_, plain.data(), plain.size(), &sent) != 1) {
      Fail("sending failed: " + OpenSslReason());
      return false;
    }
    staged_.Remove(sent);
  }
  return true;
}

void TTlsSession::Close() {
  if (failed_ || !established_ || !Seal()) return;
  ERR_clear_error();
  SSL_shutdown(ssl_);  // close_notify, without waiting for the peer's
  ERR_clear_error();
}

}  // namespace kelvox
