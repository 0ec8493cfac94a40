// Capability and AUTHENTICATE lines from both sides. The first byte chooses
// whose lines the rest are (a client's or the IRC server's) and which piece
// reads them; the rest is lines cut at LF with CRs removed, as the socket
// layer hands them over. What the bouncer would answer must stay one line: no
// CR or LF inside, whatever it echoes.
#include <cstdint>
#include <cstdlib>
#include <cstddef>
#include <string>
#include <string_view>

#include "engine/capabilities.h"
#include "engine/link_negotiation.h"
#include "engine/sasl.h"

namespace {

void Check(bool holds) {
  if (!holds) std::abort();
}

void CheckLine(std::string_view line) { Check(line.find_first_of("\r\n") == line.npos); }

// Whole lines, each with its CR LF and none inside.
void CheckLines(std::string_view text) {
  while (!text.empty()) {
    const std::size_t end = text.find("\r\n");
    Check(end != text.npos);
    CheckLine(text.substr(0, end));
    text.remove_prefix(end + 2);
  }
}

// A server-first message whose iteration count has more than four characters
// is skipped: the derivation is slow by design, and a fuzzer would only wait on it.
bool CheapScram(std::string_view message) {
  for (std::size_t at = 0; at < message.size(); ++at) {
    if ((at == 0 || message[at - 1] == ',') && message.substr(at).starts_with("i=")) {
      const std::size_t end = message.find(',', at);
      if ((end == message.npos ? message.size() : end) - at - 2 > 4) return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const uint8_t mode = data[0] % 4;
  std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  kelvox::TClientCaps client(":Kelvox");
  kelvox::TLinkNegotiation link({"server-time", "sasl", "multi-prefix", "echo-message"},
                                kelvox::ReadPlain(std::string_view("\0joe\0pencil", 12)), false, true);
  kelvox::TAuthenticateReader reader;
  kelvox::TScramSha256Client scram("user", "pencil");
  scram.Nonce = [] { return std::string("rOprNGfwEbeRWgbNEkqO"); };
  scram.ClientFirst();
  bool scram_first = true;
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    std::string line(rest.substr(0, end));
    rest = end == rest.npos ? std::string_view() : rest.substr(end + 1);
    std::erase(line, '\r');
    switch (mode) {
      case 0:  // a client negotiating before its link
        if (const auto cap = kelvox::ParseCapLine(line, false)) {
          for (const std::string& reply : client.Answer(*cap, "joe")) CheckLine(reply);
        }
        break;
      case 1: {  // the server answering the link's negotiation; SCRAM is mode 3's
        if (line.find("SCRAM") != line.npos) break;
        kelvox::TLinkNegotiation::TStep step = link.Take(line);
        CheckLines(step.ToServer);
        for (const std::string& notice : step.Notices) CheckLines(notice);
        break;
      }
      case 2:  // a client's AUTHENTICATE arguments; a whole payload goes out again unchanged
        if (reader.Take(line) == kelvox::TAuthenticateReader::TStatus::Done) {
          kelvox::ReadPlain(reader.Payload());
          kelvox::TAuthenticateReader again;
          auto status = kelvox::TAuthenticateReader::TStatus::More;
          for (const std::string& out : kelvox::AuthenticateLines(reader.Payload())) {
            CheckLine(out);
            Check(out.size() <= 13 + kelvox::kAuthenticateChunk);
            status = again.Take(std::string_view(out).substr(13));
          }
          Check(status == kelvox::TAuthenticateReader::TStatus::Done && again.Payload() == reader.Payload());
          return 0;
        }
        break;
      default:  // the server's SCRAM-SHA-256 messages
        if (scram_first) {
          if (!CheapScram(line)) return 0;
          const kelvox::TScramAnswer answer = scram.ServerFirst(line);
          if (answer.Failed) return 0;
          CheckLine(answer.Text);
          scram_first = false;
        } else {
          scram.ServerFinal(line);
          return 0;
        }
    }
  }
  return 0;
}
