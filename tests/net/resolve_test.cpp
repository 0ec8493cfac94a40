// Dotted quads, host, port and protocol resolution, and the error texts.
#include "net/resolve.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>

#include "net/wsocket_errors.h"

namespace kelvox {
namespace {

std::string RaisedBy(const std::function<void()>& action) {
  try {
    action();
  } catch (const ESocketException& e) {
    return e.what();
  }
  return "(nothing raised)";
}

TEST(DottedQuadTest, Rows) {
  const struct {
    const char* text;
    bool dotted;
  } rows[] = {
      {"10.0.0.1", true},     {"  10.0.0.1  ", true}, {"0.0.0.0", true},
      {"255.255.255.255", true}, {"10.0.0", false},   {"10.0.0.1.", false},
      {".10.0.0.1", false},   {"10..0.1", false},     {"256.1.1.1", false},
      {"1.2.3.256", false},   {"1.2.3.4x", false},    {"1.2.3.4 x", false},
      {"", false},            {"localhost", false},   {"1.2.3.4.5", false},
      {"99999999999999999999.1.1.1", false},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(WSocketIsDottedQuad(row.text), row.dotted) << "'" << row.text << "'";
  }
}

TEST(ResolveHostTest, DottedQuadsParseAndBadOnesAreRefused) {
  EXPECT_EQ(WSocketResolveHost("127.0.0.1"), htonl(INADDR_LOOPBACK));
  EXPECT_EQ(WSocketResolveHost(" 127.0.0.1 "), htonl(INADDR_LOOPBACK));
  EXPECT_EQ(WSocketResolveHost("255.255.255.255"), 0xFFFFFFFFu);
  // A leading zero makes the group octal, where 9 is no digit.
  EXPECT_EQ(RaisedBy([] { WSocketResolveHost("09.1.1.1"); }),
            "WSocketResolveHost: '09.1.1.1' Invalid IP address.");
  EXPECT_EQ(RaisedBy([] { WSocketResolveHost(""); }), "WSocketResolveHost: '' Invalid Hostname.");
  const std::string long_name(257, 'a');
  EXPECT_EQ(RaisedBy([&] { WSocketResolveHost(long_name); }),
            "WSocketResolveHost: '" + long_name + "' Invalid Hostname.");
}

TEST(ResolveHostTest, NamesAreLookedUp) {
  EXPECT_EQ(WSocketResolveHost("localhost"), htonl(INADDR_LOOPBACK));
  // Reserved names fail at once, without a name server.
  EXPECT_EQ(RaisedBy([] { WSocketResolveHost("irc.example.invalid"); }),
            "WSocketResolveHost: Cannot convert host address 'irc.example.invalid', Error #11001");
  EXPECT_EQ(RaisedBy([] { WSocketResolveHost("Host.INVALID."); }),
            "WSocketResolveHost: Cannot convert host address 'Host.INVALID.', Error #11001");
}

TEST(ResolvePortTest, NumbersNamesAndRefusals) {
  EXPECT_EQ(WSocketResolvePort("6667", "tcp"), 6667);
  EXPECT_EQ(WSocketResolvePort("65535", "tcp"), 65535);
  EXPECT_EQ(WSocketResolvePort("http", "tcp"), 80);
  EXPECT_EQ(WSocketResolvePort(" http ", ""), 80);
  const std::string bad_ports[] = {"", "7000:1", "70000", "65536", "12ab", std::string(32, '1')};
  for (const std::string& bad : bad_ports) {
    EXPECT_EQ(RaisedBy([&] { WSocketResolvePort(bad, "tcp"); }), "WSocketResolvePort: Invalid Port.")
        << bad;
  }
  EXPECT_EQ(RaisedBy([] { WSocketResolvePort("no-such-service", "tcp"); }),
            "WSocketResolvePort: Cannot convert port 'no-such-service', Error #11004");
}

TEST(ResolveProtoTest, NamesAndNumbers) {
  EXPECT_EQ(WSocketResolveProto("tcp"), 6);
  EXPECT_EQ(WSocketResolveProto(" udp "), 17);
  EXPECT_EQ(WSocketResolveProto("6"), 6);
  EXPECT_EQ(RaisedBy([] { WSocketResolveProto(""); }), "WSocketResolveProto: Invalid Protocol.");
  EXPECT_EQ(RaisedBy([] { WSocketResolveProto("nosuchproto"); }),
            "WSocketResolveProto: Cannot convert protocol 'nosuchproto', Error #11004");
}

TEST(ErrorTextTest, TableAndTranslation) {
  EXPECT_EQ(WSocketErrorText(0), "No Error");
  EXPECT_EQ(WSocketErrorText(10048), "Address already in use");
  EXPECT_EQ(WSocketErrorText(10061), "Connection refused");
  EXPECT_EQ(WSocketErrorText(11004), "No Data");
  EXPECT_EQ(WSocketErrorText(12345), "Not a WinSock error");
  EXPECT_EQ(WsaFromErrno(ECONNREFUSED), 10061);
  EXPECT_EQ(WsaFromErrno(EADDRINUSE), 10048);
  EXPECT_EQ(WsaFromErrno(ECONNRESET), 10054);
  EXPECT_EQ(WsaFromErrno(EPIPE), 10054);
  EXPECT_EQ(WsaFromErrno(EAGAIN), 10035);
  EXPECT_EQ(WsaFromErrno(EACCES), 10013);
  EXPECT_EQ(WsaFromErrno(ETIMEDOUT), 10060);

  // A failure carries its step and number; the message is made from them, and
  // from the call it failed in.
  const ESocketException port = ESocketException(TSocketStep::kResolvePort, 11004, "x").Within(TSocketCall::kListen);
  EXPECT_STREQ(port.what(), "listen: WSocketResolvePort: Cannot convert port 'x', Error #11004");
  EXPECT_EQ(port.Cause(), port.what());
  EXPECT_EQ(port.Step(), TSocketStep::kResolvePort);
  EXPECT_EQ(port.Code(), 11004);
}

}  // namespace
}  // namespace kelvox
