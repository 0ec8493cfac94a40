// The link's registration when the client took capabilities before CONN: the
// bouncer asks the IRC server for them inside the server's registration, logs the
// user in with SASL on the credentials the client left with it, and only then
// lets NICK's replay complete the registration (CAP END). Pure: it reads the
// server's lines and says what to send; the server links send it.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "engine/capabilities.h"
#include "engine/sasl.h"

namespace kelvox {

/// What the bouncer knows of a user's capabilities, from its first CAP line on.
struct TUserCaps {
  TClientCaps Client{":Kelvox"};
  /// The client's AUTHENTICATE payload while it comes in chunks.
  std::unique_ptr<TAuthenticateReader> Reading;
  /// Credentials the client left for the network; they go to the negotiation at
  /// the link's connect, and are wiped with it.
  std::optional<TSaslPlain> Credentials;
  /// What the bouncer gives itself because the server cannot.
  std::set<std::string> Provided;
  /// What CONN said about the link: TLS, and PLAIN allowed without it.
  bool LinkTls = false;
  bool PlainInsecure = false;
  /// The bouncer negotiated the link for the client (LS 302: the server's CAP
  /// NEW and DEL come whether the client took cap-notify or not).
  bool Negotiated = false;

  /// Whether the link needs a negotiation: the client took more than the
  /// bouncer's own cap-notify, or left credentials.
  bool WantsNegotiation() const;
  /// The tags the client takes, from what it has enabled.
  TTagPolicy Tags() const;
};

class TLinkNegotiation {
 public:
  /// What the link does about one line from the server.
  struct TStep {
    bool Consumed = false;              // the line was the negotiation's: not relayed
    std::string ToServer;               // lines to send, each with CR LF
    std::vector<std::string> Notices;   // texts to tell the user, each with CR LF
    bool Ended = false;                 // the capabilities are settled: Provided and Withdrawn hold
    bool Done = false;                  // the server welcomed the user: the held lines go
  };

  /// `enabled` is what the client took; `tls` whether the link is TLS, and
  /// `plain_insecure` whether the user allowed PLAIN without it.
  TLinkNegotiation(std::set<std::string> enabled, std::optional<TSaslPlain> credentials, bool tls,
                   bool plain_insecure);

  /// The first line, sent before the held registration: "CAP LS 302\r\n".
  static constexpr std::string_view kOpening = "CAP LS 302\r\n";

  /// Takes one line from the server.
  TStep Take(std::string_view line);
  /// The server did not finish in time: what to tell, Ended and Done.
  TStep GiveUp();

  /// Once Ended: what the client took that the bouncer gives itself, and what it
  /// loses (CAP DEL).
  const std::vector<std::string>& Provided() const { return provided_; }
  const std::vector<std::string>& Withdrawn() const { return withdrawn_; }

  /// Makes SCRAM's client nonce when set; tests fix it.
  std::function<std::string()> ScramNonce;
  /// When the negotiation began, for its time limit.
  std::chrono::steady_clock::time_point Started = std::chrono::steady_clock::now();

 private:
  /// After CAP END the server completes the registration; lines other than
  /// the registration's would be refused until its welcome (001).
  enum class TPhase { Listing, Requesting, Authenticating, Registering, Done };
  enum class TMechanism { None, Plain, Scram };

  void Listed(TStep& step);
  void Answered(const TCapLine& line, TStep& step);
  void Authenticate(std::string_view argument, TStep& step);
  void Numeric(int number, const std::vector<std::string_view>& words, TStep& step);
  /// The end of the capabilities, the ones the server did not give sorted out.
  void Finish(TStep& step);
  /// The server's welcome: the held lines may go.
  void Welcomed(TStep& step);
  /// The SASL mechanism to use with the server's list, or a notice why none.
  TMechanism Choose(TStep& step);
  /// Tells the user why it is not logged in, once, when it left credentials.
  void Tell(std::string_view why, TStep& step);
  /// Stops an exchange the bouncer cannot go on with.
  void Abort(std::string_view why, TStep& step);
  /// The credentials' account name.
  std::string Account() const;

  std::set<std::string> enabled_;
  std::optional<TSaslPlain> credentials_;
  bool tls_;
  bool plain_insecure_;
  TServerCaps server_;
  TPhase phase_ = TPhase::Listing;
  TMechanism mechanism_ = TMechanism::None;
  std::unique_ptr<TScramSha256Client> scram_;
  int server_messages_ = 0;   // the server's SASL messages so far
  bool capable_ = true;       // the server knows CAP: it waits for CAP END
  bool told_ = false;         // the user has heard how SASL went
  bool aborted_ = false;      // the bouncer gave up the exchange
  std::string chunks_;  // the server's AUTHENTICATE argument in chunks of 400
  std::string account_;  // from the server's 900
  std::vector<std::string> provided_;
  std::vector<std::string> withdrawn_;
};

}  // namespace kelvox
