// SASL's pieces: AUTHENTICATE chunks both ways, PLAIN's payload, and SCRAM-SHA-256
// against the RFC 7677 example exchange.
#include "engine/sasl.h"

#include <gtest/gtest.h>

namespace kelvox::test {
namespace {

using TStatus = TAuthenticateReader::TStatus;

/// What a reader makes of the arguments of these lines.
std::pair<TStatus, std::string> ReadBack(const std::vector<std::string>& lines) {
  TAuthenticateReader reader;
  TStatus status = TStatus::More;
  for (const std::string& line : lines) status = reader.Take(std::string_view(line).substr(13));
  return {status, reader.Payload()};
}

TEST(SaslTest, AuthenticateLinesChunkAndEndWithPlusOnFullChunks) {
  EXPECT_EQ(AuthenticateLines(""), std::vector<std::string>{"AUTHENTICATE +"});
  EXPECT_EQ(AuthenticateLines(std::string("\0joe\0pw", 7)), std::vector<std::string>{"AUTHENTICATE AGpvZQBwdw=="});
  // 300 bytes are 400 of base64: one full chunk, then "+"; 301 need a second one.
  for (std::size_t size : {1, 299, 300, 301, 600, 601}) {
    const std::string payload(size, 'x');
    const auto lines = AuthenticateLines(payload);
    const std::size_t base64 = 4 * ((size + 2) / 3);
    ASSERT_EQ(lines.size(), base64 / 400 + 1) << size;
    EXPECT_EQ(lines.back() == "AUTHENTICATE +", base64 % 400 == 0) << size;
    for (const auto& line : lines) EXPECT_LE(line.size(), 13u + 400u);
    EXPECT_EQ(ReadBack(lines), std::make_pair(TStatus::Done, payload)) << size;
  }
  EXPECT_EQ(ReadBack({"AUTHENTICATE +"}), std::make_pair(TStatus::Done, std::string()));
}

TEST(SaslTest, ReaderRefusesAbortsBadBase64OverlongAndLateLines) {
  for (const char* bad : {"*", "", "abc", "ab=c", "a===", "ab c", "ab!d"}) {
    TAuthenticateReader reader;
    EXPECT_EQ(reader.Take(bad), TStatus::Failed) << bad;
    EXPECT_EQ(reader.Take("+"), TStatus::Failed) << bad;
  }
  TAuthenticateReader aborted;
  EXPECT_EQ(aborted.Take(std::string(400, 'A')), TStatus::More);
  EXPECT_EQ(aborted.Take("*"), TStatus::Failed);

  TAuthenticateReader endless;
  const std::string chunk(400, 'A');
  for (std::size_t sent = 400; sent <= kMaxAuthenticateBase64; sent += 400) EXPECT_EQ(endless.Take(chunk), TStatus::More);
  EXPECT_EQ(endless.Take(chunk), TStatus::Failed);

  TAuthenticateReader overlong;
  EXPECT_EQ(overlong.Take(std::string(401, 'A')), TStatus::Failed);
  EXPECT_EQ(DecodeBase64("YQ=="), "a");
  EXPECT_EQ(DecodeBase64("YWI="), "ab");
}

TEST(SaslTest, PlainPayloadRoundTripsAndRefusesMalformedOnes) {
  TSaslPlain plain;
  plain.Authcid = "joe";
  plain.Password = "secret";
  EXPECT_EQ(plain.Payload(), std::string("\0joe\0secret", 11));
  const auto read = ReadPlain(std::string("admin\0joe\0secret", 16));
  ASSERT_TRUE(read);
  EXPECT_EQ(read->Authzid, "admin");
  EXPECT_EQ(read->Authcid, "joe");
  EXPECT_EQ(read->Password, "secret");
  for (std::string_view bad : {std::string_view("joe\0secret", 10), std::string_view("\0\0secret", 8),
                               std::string_view("\0joe\0", 5), std::string_view("\0joe\0se\0cret", 12)}) {
    EXPECT_FALSE(ReadPlain(bad)) << bad.size();
  }
}

constexpr std::string_view kServerFirst =
    "r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096";

class ScramTest : public ::testing::Test {
 protected:
  ScramTest() { client.Nonce = [] { return std::string("rOprNGfwEbeRWgbNEkqO"); }; }
  TScramSha256Client client{"user", "pencil"};
};

TEST_F(ScramTest, Rfc7677ExchangeVerifies) {
  EXPECT_EQ(client.ClientFirst(), "n,,n=user,r=rOprNGfwEbeRWgbNEkqO");
  const TScramAnswer final = client.ServerFirst(kServerFirst);
  EXPECT_FALSE(final.Failed);
  EXPECT_EQ(final.Text,
            "c=biws,r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,"
            "p=dHzbZapWIk4jUhN+Ute9ytag9zjfMHgsqmmiz7AndVQ=");
  const TScramAnswer verified = client.ServerFinal("v=6rriTRBi23WpRR/wtup+mMhUZUn/dB5nLTJRsjl95G4=");
  EXPECT_FALSE(verified.Failed) << verified.Text;
  EXPECT_EQ(verified.Text, "");
}

TEST_F(ScramTest, WrongSignatureAndServerErrorFail) {
  client.ClientFirst();
  ASSERT_FALSE(client.ServerFirst(kServerFirst).Failed);
  EXPECT_TRUE(client.ServerFinal("v=7rriTRBi23WpRR/wtup+mMhUZUn/dB5nLTJRsjl95G4=").Failed);
  client.ClientFirst();
  ASSERT_FALSE(client.ServerFirst(kServerFirst).Failed);
  const TScramAnswer refused = client.ServerFinal("e=invalid-proof");
  EXPECT_TRUE(refused.Failed);
  EXPECT_EQ(refused.Text, "invalid-proof");
}

TEST_F(ScramTest, HostileServerFirstMessagesFail) {
  for (std::string_view bad : {
           "r=XOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096",  // not our nonce
           "r=rOprNGfwEbeRWgbNEkqO,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096",                         // not extended
           "r=rOprNGfwEbeRWgbNEkqO%hv,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4095",
           "r=rOprNGfwEbeRWgbNEkqO%hv,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=600001",
           "r=rOprNGfwEbeRWgbNEkqO%hv,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096x",
           "r=rOprNGfwEbeRWgbNEkqO%hv,s=not base64,i=4096",
           "r=rOprNGfwEbeRWgbNEkqO%hv,i=4096",
       }) {
    client.ClientFirst();
    EXPECT_TRUE(client.ServerFirst(bad).Failed) << bad;
  }
}

TEST(ScramClientTest, EscapesUserAndMakesFreshNonces) {
  TScramSha256Client client("a=b,c", "pw");
  const std::string first = client.ClientFirst();
  ASSERT_TRUE(first.starts_with("n,,n=a=3Db=2Cc,r="));
  EXPECT_EQ(first.size(), 17u + 24u);
  EXPECT_NE(client.ClientFirst(), first);
}

}  // namespace
}  // namespace kelvox::test
