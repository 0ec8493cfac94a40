// The link's registration with capabilities and SASL: CAP LS, one REQ (then one
// name at a time after a NAK), the login, CAP END.
#include "engine/link_negotiation.h"

#include <algorithm>
#include <charconv>

#include "base/text_case.h"

namespace kelvox {

namespace {

constexpr std::string_view kScram = "SCRAM-SHA-256";

// The capabilities a server cannot give but the bouncer can.
bool BouncerCanGive(std::string_view name) { return name == "server-time" || name == "echo-message"; }

// The lines that carry a SASL message to the server, each with CR LF.
std::string AuthenticateText(std::string_view message) {
  std::string text;
  for (const std::string& line : AuthenticateLines(message)) text += line + "\r\n";
  return text;
}

}  // namespace

bool TUserCaps::WantsNegotiation() const {
  return Credentials.has_value() ||
         std::any_of(Client.Enabled().begin(), Client.Enabled().end(),
                     [](const std::string& name) { return name != "cap-notify" && name != "sasl"; });
}

TTagPolicy TUserCaps::Tags() const {
  const std::set<std::string>& on = Client.Enabled();
  return TagPolicyOf(on, on.contains("echo-message") && Provided.contains("echo-message"));
}

TLinkNegotiation::TLinkNegotiation(std::set<std::string> enabled, std::optional<TSaslPlain> credentials, bool tls,
                                   bool plain_insecure)
    : enabled_(std::move(enabled)), credentials_(std::move(credentials)), tls_(tls), plain_insecure_(plain_insecure) {}

TLinkNegotiation::TStep TLinkNegotiation::Take(std::string_view line) {
  TStep step;
  if (phase_ == TPhase::Done) return step;
  const std::vector<std::string_view> words = MessageWords(line);
  if (words.empty()) return step;
  const std::string_view command = words[0];
  if (EqualIgnoringCase(command, "CAP")) {
    const std::optional<TCapLine> cap = ParseCapLine(line, true);
    if (cap->Subcommand == TCapSubcommand::Ls && phase_ == TPhase::Listing) {
      step.Consumed = true;
      capable_ = true;
      server_.TakeListing(*cap);
      if (server_.Listed()) Listed(step);
    } else if ((cap->Subcommand == TCapSubcommand::Ack || cap->Subcommand == TCapSubcommand::Nak) &&
               phase_ == TPhase::Requesting) {
      step.Consumed = true;
      Answered(*cap, step);
    }
  } else if (EqualIgnoringCase(command, "AUTHENTICATE") && phase_ == TPhase::Authenticating) {
    step.Consumed = true;
    Authenticate(words.size() > 1 ? words[1] : std::string_view(), step);
  } else if (int number = 0; command.size() == 3 &&
                             std::from_chars(command.data(), command.data() + 3, number).ptr == command.data() + 3) {
    Numeric(number, words, step);
  }
  return step;
}

TLinkNegotiation::TStep TLinkNegotiation::GiveUp() {
  TStep step;
  if (phase_ == TPhase::Done) return step;
  Tell("the IRC server did not answer in time", step);
  if (phase_ != TPhase::Registering) Finish(step);
  Welcomed(step);
  return step;
}

void TLinkNegotiation::Listed(TStep& step) {
  std::set<std::string> wanted = enabled_;
  wanted.erase("sasl");
  if (credentials_) {
    mechanism_ = Choose(step);
    if (mechanism_ != TMechanism::None) wanted.insert("sasl");
  }
  const std::string request = server_.Request(wanted);
  if (request.empty()) return Finish(step);
  phase_ = TPhase::Requesting;
  step.ToServer = request + "\r\n";
}

TLinkNegotiation::TMechanism TLinkNegotiation::Choose(TStep& step) {
  if (!server_.Offers("sasl")) {
    Tell("the IRC server offers no SASL", step);
    return TMechanism::None;
  }
  // A server may list its mechanisms; without a list, PLAIN is the one to try.
  const std::string list = server_.Value("sasl");
  const auto listed = [&](std::string_view name) {
    std::string_view rest = list;
    while (!rest.empty()) {
      const std::size_t comma = std::min(rest.find(','), rest.size());
      if (EqualIgnoringCase(rest.substr(0, comma), name)) return true;
      rest.remove_prefix(std::min(comma + 1, rest.size()));
    }
    return false;
  };
  const bool plain = list.empty() || listed("PLAIN");
  // PLAIN shows the password to whoever reads the link: only over TLS, unless
  // the user said otherwise. SCRAM shows nothing a reader could reuse.
  if (plain && (tls_ || plain_insecure_)) return TMechanism::Plain;
  if (listed(kScram)) return TMechanism::Scram;
  if (plain) {
    told_ = true;
    step.Notices.push_back(
        "   SASL: PLAIN would send your password readable: link with TLS (CONN host:+port), or add "
        "sasl=plain-insecure to CONN.\r\n");
  } else {
    Tell("the IRC server offers none of PLAIN and SCRAM-SHA-256 (" + list + ")", step);
  }
  return TMechanism::None;
}

void TLinkNegotiation::Answered(const TCapLine& line, TStep& step) {
  if (const std::string next = server_.TakeAnswer(line); !next.empty()) {
    step.ToServer = next + "\r\n";
    return;
  }
  if (mechanism_ == TMechanism::None) return Finish(step);
  if (!server_.Granted().contains("sasl")) {
    Tell("the IRC server refused the sasl capability", step);
    return Finish(step);
  }
  phase_ = TPhase::Authenticating;
  if (mechanism_ == TMechanism::Scram) {
    scram_ = std::make_unique<TScramSha256Client>(credentials_->Authcid, credentials_->Password);
    if (ScramNonce) scram_->Nonce = ScramNonce;
  }
  step.ToServer = mechanism_ == TMechanism::Plain ? "AUTHENTICATE PLAIN\r\n" : "AUTHENTICATE SCRAM-SHA-256\r\n";
}

// The server's message comes in chunks of 400 like the client's; "+" alone is
// an empty one, or the end of one whose length was a multiple of 400.
void TLinkNegotiation::Authenticate(std::string_view argument, TStep& step) {
  if (aborted_) return;
  if (argument != "+") {
    chunks_.append(argument);
    if (argument.size() == kAuthenticateChunk && chunks_.size() <= kMaxAuthenticateBase64) return;
  }
  const std::optional<std::string> message =
      chunks_.size() <= kMaxAuthenticateBase64 ? DecodeBase64(chunks_) : std::nullopt;
  chunks_.clear();
  if (!message) return Abort("the IRC server's SASL message is unreadable", step);
  ++server_messages_;
  if (mechanism_ == TMechanism::Plain) {
    if (server_messages_ > 1) return Abort("the IRC server asked PLAIN for more", step);
    std::string payload = credentials_->Payload();
    step.ToServer = AuthenticateText(payload);
    Wipe(payload);
    return;
  }
  TScramAnswer answer;
  switch (server_messages_) {
    case 1:
      answer.Text = scram_->ClientFirst();
      break;
    case 2:
      answer = scram_->ServerFirst(*message);
      break;
    case 3:
      answer = scram_->ServerFinal(*message);
      break;
    default:
      answer = {true, "the IRC server asked SCRAM-SHA-256 for more"};
  }
  if (answer.Failed) return Abort(answer.Text, step);
  step.ToServer = AuthenticateText(answer.Text);
  Wipe(answer.Text);
}

void TLinkNegotiation::Numeric(int number, const std::vector<std::string_view>& words, TStep& step) {
  if (number == 1) {
    // Before CAP END only a server that does not know CAP registers the user.
    if (phase_ != TPhase::Registering) {
      capable_ = false;
      Finish(step);
    }
    return Welcomed(step);
  }
  if (number == 421 && phase_ != TPhase::Registering && words.size() > 2 && EqualIgnoringCase(words[2], "CAP")) {
    step.Consumed = true;
    capable_ = false;
    return Finish(step);
  }
  if (phase_ != TPhase::Authenticating || number < 900 || number > 908) return;
  step.Consumed = true;
  if (number == 900 && words.size() > 3) account_ = words[3];
  if (number == 903) {
    told_ = true;
    step.Notices.push_back("   SASL: logged in as " + (account_.empty() ? Account() : account_) + ".\r\n");
    return Finish(step);
  }
  if (number == 902 || (number >= 904 && number <= 907)) {
    if (!aborted_) {
      told_ = true;
      step.Notices.push_back("   SASL: the IRC server refused the login (" + std::string(words[0]) + " " +
                             std::string(words.back()) + ").\r\n");
    }
    return Finish(step);
  }
}

void TLinkNegotiation::Tell(std::string_view why, TStep& step) {
  if (told_ || !credentials_) return;
  told_ = true;
  step.Notices.push_back("   SASL: " + std::string(why) + "; you are not logged in.\r\n");
}

void TLinkNegotiation::Abort(std::string_view why, TStep& step) {
  Tell(why, step);
  aborted_ = true;
  step.ToServer += "AUTHENTICATE *\r\n";
}

void TLinkNegotiation::Finish(TStep& step) {
  Tell("the IRC server offers no SASL", step);
  phase_ = TPhase::Registering;
  step.Ended = true;
  if (capable_) step.ToServer += "CAP END\r\n";
  credentials_.reset();
  scram_.reset();
  for (const std::string& name : enabled_) {
    if (name == "sasl" || name == "cap-notify" || server_.Granted().contains(name)) continue;
    (BouncerCanGive(name) ? provided_ : withdrawn_).push_back(name);
  }
}

void TLinkNegotiation::Welcomed(TStep& step) {
  phase_ = TPhase::Done;
  step.Done = true;
}

std::string TLinkNegotiation::Account() const {
  return credentials_->Authzid.empty() ? credentials_->Authcid : credentials_->Authzid;
}

}  // namespace kelvox
