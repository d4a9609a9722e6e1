#include "client/core/connection_failure.h"

#include <gtest/gtest.h>

#include "platform/sysconfig/nm_connection_driver.h"

namespace {

using client::classifyHelperLogLine;

struct Case {
  const char* line;
  const char* message;  // nullptr: no failure
  bool permanent;
};

TEST(ConnectionFailureTest, HelperLinesBecomePlainMessages) {
  const Case cases[] = {
      // Obfuscation the installed OpenVPN lacks, as the helper refuses it and
      // as OpenVPN itself would reject the option.
      {"2026-01-01 10:00:00:000 OpenVPN request refused: This server needs an obfuscation "
       "(scramble) that the installed OpenVPN does not support.",
       client::kScrambleUnsupportedMessage, true},
      {"Read: Options error: Unrecognized option or missing or extra parameter(s) in [CMD-LINE]:1: "
       "--scramble",
       client::kScrambleUnsupportedMessage, true},
      // A refused request value.
      {"OpenVPN request refused: unusable value for \"cipher\".", client::kRequestRefusedMessage,
       true},
      {"SSTP request refused: a value is missing or unusable.", client::kRequestRefusedMessage,
       true},
      {"Read: Options error: --cipher: bad value", client::kRequestRefusedMessage, true},
      // A refused password.
      {"Read: >LOG:1700000000,,AUTH: Received control message: AUTH_FAILED",
       client::kAuthenticationFailedMessage, true},
      {"Read: >PASSWORD:Verification Failed: 'Auth'", client::kAuthenticationFailedMessage, true},
      {"Read: >STATE:1700000000,EXITING,auth-failure,,,,,", client::kAuthenticationFailedMessage,
       true},
      // A missing component.
      {"Refused to start /opt/a/openvpn: not an executable that this installation ships.",
       client::kOpenVPNMissingMessage, true},
      {"OpenVPN could not be started: no such file", client::kOpenVPNMissingMessage, true},
      // A server that is not the one the account names.
      {"Read: >LOG:1700000000,,VERIFY ERROR: depth=0, error=unable to get local issuer",
       client::kServerIdentityMessage, true},
      // Transient: OpenVPN keeps trying.
      {"Read: >LOG:1700000000,W,TCP: connect to [AF_INET]127.0.0.1:443 failed: Connection refused",
       client::kServerUnreachableMessage, false},
      {"Read: >LOG:1700000000,,read UDPv4 [ECONNREFUSED|EHOSTUNREACH]: No route to host (code=113)",
       client::kServerUnreachableMessage, false},
      {"Read: >LOG:1700000000,,TLS Error: TLS key negotiation failed to occur within 60 seconds",
       client::kServerSilentMessage, false},
      {"Read: >LOG:1700000000,,RESOLVE: Cannot resolve host address: nl1.example: Name or service",
       client::kServerNotFoundMessage, false},
      // Not failures of the server: the helper's own dialogue, ordinary lines.
      {"Management connection refused: Connection refused", nullptr, false},
      {"Read: >STATE:1700000000,CONNECTED,SUCCESS,10.8.0.2,127.0.0.1,1194,,", nullptr, false},
      {"Read: >STATE:1700000000,EXITING,SIGTERM,,,,,", nullptr, false},
      {"", nullptr, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    auto failure = classifyHelperLogLine(c.line);
    if (c.message == nullptr) {
      EXPECT_FALSE(failure.has_value());
      continue;
    }
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->message, c.message);
    EXPECT_EQ(failure->permanent, c.permanent);
  }
}

TEST(ConnectionFailureTest, MessagesAreForPeople) {
  // No technical text reaches the user.
  for (const char* m : {client::kScrambleUnsupportedMessage, client::kRequestRefusedMessage,
                        client::kAuthenticationFailedMessage, client::kOpenVPNMissingMessage,
                        client::kServerIdentityMessage, client::kServerUnreachableMessage,
                        client::kServerSilentMessage, client::kServerNotFoundMessage}) {
    const std::string text = m;
    EXPECT_EQ(text.find("request refused"), std::string::npos) << text;
    EXPECT_EQ(text.find(">"), std::string::npos) << text;
    EXPECT_EQ(text.back(), '.') << text;
  }
}

TEST(ConnectionFailureTest, LostConnectionAndRouteErrorAreNotFailures) {
  // What the helper logs when the server went away from a running connection.
  auto lost = classifyHelperLogLine(
      "2026-01-01 00:00:00:000 The connection to the server was lost (ping-restart); "
      "reconnecting.");
  ASSERT_TRUE(lost.has_value());
  EXPECT_FALSE(lost->permanent);
  EXPECT_EQ(lost->message,
            "The connection to the VPN server was lost (ping-restart). Reconnecting.");
  EXPECT_TRUE(client::isConnectionLostMessage(lost->message));
  EXPECT_FALSE(client::isConnectionLostMessage(client::kServerUnreachableMessage));
  // A reason the helper could not give, and one far too long for a label.
  lost = classifyHelperLogLine("The connection to the server was lost; reconnecting.");
  ASSERT_TRUE(lost.has_value());
  EXPECT_NE(lost->message.find("(no reason given)"), std::string::npos);
  lost = classifyHelperLogLine("The connection to the server was lost (" + std::string(500, 'x') +
                               "); reconnecting.");
  ASSERT_TRUE(lost.has_value());
  EXPECT_LT(lost->message.size(), 140u);

  auto route = classifyHelperLogLine(
      "Read: >STATE:1700000000,CONNECTED,ROUTE_ERROR,10.8.0.2,127.0.0.1,1194,,");
  ASSERT_TRUE(route.has_value());
  EXPECT_EQ(route->message, client::kRouteErrorMessage);
  EXPECT_FALSE(route->permanent);
  // OpenVPN 2.6 says "ERROR" in place of "SUCCESS" after an initialisation
  // that completed with errors (its "Initialization Sequence Completed With
  // Errors"); the helper logs the state line and OpenVPN's own log line of
  // it.
  for (const char* line :
       {"Read: >STATE:1796912198,CONNECTED,ERROR,10.8.0.2,127.0.0.1,1194,,",
        "Read: >LOG:1796912198,,MANAGEMENT: >STATE:1796912198,CONNECTED,ERROR,10.8.0.2,127.0.0.1,"
        "1194,,"}) {
    auto errors = classifyHelperLogLine(line);
    ASSERT_TRUE(errors.has_value()) << line;
    EXPECT_EQ(errors->message, client::kSetupErrorMessage);
    EXPECT_FALSE(errors->permanent);
  }
  EXPECT_TRUE(client::isConnectedWarningMessage(client::kRouteErrorMessage));
  EXPECT_TRUE(client::isConnectedWarningMessage(client::kSetupErrorMessage));
  EXPECT_FALSE(client::isConnectedWarningMessage(client::kServerUnreachableMessage));
  EXPECT_FALSE(
      classifyHelperLogLine("Read: >STATE:1700000000,CONNECTED,SUCCESS,10.8.0.2,127.0.0.1,1194,,")
          .has_value());
}

TEST(ConnectionFailureTest, TheSystemsReasonsForPPTPL2TPAndIPSecAreShownAsTheyAre) {
  // The helper's line for a PPTP, L2TP or IPSec connection that NetworkManager
  // ended carries NetworkManager's reason in words; the client shows that
  // text itself ("The VPN connection failed: ..."), so no reason may be
  // taken for one of OpenVPN's failures (a "Trying again" that never comes,
  // or another cause).
  namespace sc = platform::sysconfig;
  std::vector<std::string> reasons = {"it was disconnected outside VarnelVPN",
                                      "NetworkManager stopped while the connection was in use.",
                                      "The connection to the system bus was lost.",
                                      "the L2TP connection to the server could not be "
                                      "established; this system cannot run PPP, which L2TP "
                                      "needs (/dev/ppp: No such device or address)"};
  for (std::uint32_t r = 0; r <= 15; ++r) reasons.push_back(sc::nmStateReasonText(r));
  for (const char* plugin : {"pptp", "l2tp", "vpnc"})
    for (std::uint32_t f = 0; f <= 3; ++f) reasons.push_back(sc::nmPluginFailureText(f, plugin));
  for (const std::string& reason : reasons) {
    SCOPED_TRACE(reason);
    EXPECT_FALSE(
        classifyHelperLogLine("2026-01-01 00:00:00:000 Connection 6F1C2D3E ended: " + reason)
            .has_value());
    EXPECT_FALSE(
        classifyHelperLogLine("Connection VarnelVPN could not be started: " + reason).has_value());
  }
}

}  // namespace
