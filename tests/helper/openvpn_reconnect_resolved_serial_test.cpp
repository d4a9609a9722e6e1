// With systemd-resolved, the road back from a dead OpenVPN server (over
// TCP), with the VarnelHelper program and a real OpenVPN on both ends (see
// openvpn_reconnect_scenario.h): what the tunnel's link gets from the
// system's resolver while the tunnel is up, while it is down and after.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "openvpn_reconnect_scenario.h"

namespace {

using helper_test::OpenVPNReconnectTest;
using Outcome = varnel::testing::ShellOutcome;
using varnel::testing::contains;

// systemd-resolved, unpacked from its Debian package into the build folder
// (downloaded once; never installed, as that would replace the machine's
// resolv.conf). "" and `*why` when it cannot be had.
std::string unpackedResolved(std::string* why) {
  char exe[4096];
  const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return "";
  std::string folder(exe, static_cast<std::size_t>(n));
  folder = folder.substr(0, folder.rfind('/')) + "/systemd-resolved-unpacked";
  const std::string daemon = folder + "/x/lib/systemd/systemd-resolved";
  if (::access(daemon.c_str(), X_OK) != 0) {
    Outcome got = varnel::testing::runShell(
        "mkdir -p '" + folder + "' && cd '" + folder + "' && rm -rf x *.deb && " +
        "apt-get -o APT::Sandbox::User=root download systemd-resolved 2>&1 && " +
        "dpkg-deb -x systemd-resolved_*.deb x 2>&1");
    if (got.status != 0 || ::access(daemon.c_str(), X_OK) != 0) {
      *why = "systemd-resolved could not be downloaded and unpacked: " + got.output;
      return "";
    }
  }
  // It needs the machine's own systemd library of the same version.
  Outcome runs = varnel::testing::runShell("'" + folder + "/x/usr/bin/resolvectl' --version 2>&1");
  if (runs.status != 0) {
    *why = "the unpacked resolvectl does not run here: " + runs.output;
    return "";
  }
  return folder + "/x";
}

// The lines of the section that ends with `marker` (after the "run:" that
// starts it).
std::string section(const std::string& output, const std::string& marker) {
  const std::size_t end = output.find(marker);
  if (end == std::string::npos) return "";
  const std::size_t start = output.rfind("run:", end);
  return output.substr(start, end - start);
}

// With systemd-resolved the tunnel's link takes every name (routing domain
// "~." and the default route), with the VPN's servers; while the server is
// gone the link is handed back, so the server's name is found again through
// the system's servers; after the end nothing is left on any link.
TEST_F(OpenVPNReconnectTest, SystemdResolvedRoutesEveryNameToTheTunnelOnlyWhileItIsUp) {
  if (::access("/usr/bin/dbus-daemon", X_OK) != 0) GTEST_SKIP() << "no dbus-daemon";
  std::string why;
  const std::string resolved = unpackedResolved(&why);
  if (resolved.empty()) GTEST_SKIP() << why;
  ::setenv("RESOLVED", resolved.c_str(), 1);
  const Outcome r = scenario("resolved");
  ::unsetenv("RESOLVED");
  EXPECT_TRUE(contains(r.output, "client-status 0\nhelper-status 0\n")) << r.output;
  for (const char* when : {"links-up", "links-back"}) {
    const std::string links = section(r.output, when);
    EXPECT_NE(links.find("): 10.99.0.1 8.8.8.8\n"), std::string::npos) << when << "\n" << r.output;
    EXPECT_NE(links.find("): openvpn ~.\n"), std::string::npos) << when << "\n" << r.output;
    EXPECT_NE(links.find("default-route Link"), std::string::npos) << when << "\n" << r.output;
    // The tunnel's link is the one default route among the links.
    EXPECT_NE(links.find("): yes\n"), std::string::npos) << when << "\n" << r.output;
  }
  for (const char* when : {"links-down", "links-after"}) {
    const std::string links = section(r.output, when);
    EXPECT_FALSE(links.empty()) << when << "\n" << r.output;
    EXPECT_EQ(links.find("10.99.0.1"), std::string::npos) << when << "\n" << r.output;
    EXPECT_EQ(links.find("~."), std::string::npos) << when << "\n" << r.output;
  }
  EXPECT_TRUE(contains(r.output, "run:server-back\n")) << r.output;
  // Connected again after the server came back. (Whether the name is asked
  // anew is not checked here: with only loopback and tunnels this resolver
  // counts the network as down and answers from what it has.)
  const std::size_t back = r.output.find("run:server-back");
  EXPECT_NE(r.output.find("state 5\n", back), std::string::npos) << r.output;
}

}  // namespace
