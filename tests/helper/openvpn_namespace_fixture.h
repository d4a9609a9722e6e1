// The fixture shared by the tests that run the VarnelHelper program against
// a real OpenVPN server: each scenario is a bash script run in namespaces of
// its own (loopback only, a scratch resolv.conf, its own pids), so nothing it
// started outlives it and the fixed ports it binds stay private. The suite
// checks once what the runs need (root, /dev/net/tun, the tools, unshare)
// and skips every test with the reason when something is missing; it keeps
// one work folder with the certificates for all its tests and removes it at
// the end.
//
// Header only: it is built into each test binary that uses it, which defines
// VARNEL_HELPER_PATH and HELPER_TEST_CLIENT. One such suite a test binary.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "platform/system/file_util.h"
#include "support/shell.h"

namespace helper_test {

// Makes a test CA and a server and a client certificate signed by it in the
// folder $1 (ca.crt, server.crt/.key, client.crt/.key). The server's carries
// the TLS server role (key usage and extended key usage). rogue.crt/.key:
// the same CA's certificate without that role (no extended key usage, as
// older PKIs issue their clients'), which no client may take for a server.
inline constexpr const char* kOpenVPNTestCertificates = R"SH(
set -e
cd "$1"
openssl ecparam -name prime256v1 -genkey -noout -out ca.key
openssl req -x509 -new -key ca.key -subj /CN=Varnel-Test-CA -days 2 -out ca.crt
printf 'basicConstraints=CA:FALSE\nkeyUsage=digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\n' > server.ext
printf 'basicConstraints=CA:FALSE\nextendedKeyUsage=clientAuth\nkeyUsage=digitalSignature,keyAgreement\n' > client.ext
printf 'basicConstraints=CA:FALSE\nkeyUsage=digitalSignature,keyEncipherment\n' > rogue.ext
for n in server client rogue; do
  openssl ecparam -name prime256v1 -genkey -noout -out $n.key
  openssl req -new -key $n.key -subj /CN=$n -out $n.csr
  openssl x509 -req -in $n.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 -extfile $n.ext -out $n.crt
done
chmod 0600 *.key
)SH";

// The start of every scenario script, which runs inside the namespaces as
// `scenario.sh WORK SCENARIO HELPER CLIENT`: loopback up, a scratch
// resolv.conf ("nameserver 192.0.2.53") in place of the system's, and
// `start_server PASSWORD PROTO PORT [OPENVPN OPTIONS...]`, which starts an
// OpenVPN server on 127.0.0.1 (subnet 10.99.0.0/24, pushing the DNS server
// 10.99.0.1) that lets the user alice in with PASSWORD, and waits until it
// is ready. Each user name and password the server receives adds a line to
// $W/auth-received.
inline constexpr const char* kOpenVPNScenarioPrelude = R"SH(
W="$1"; SCENARIO="$2"; HELPER="$3"; CLIENT="$4"
cd "$W" || exit 90
ip link set lo up || exit 90
printf 'nameserver 192.0.2.53\n' > "$W/resolv.conf"
mount --bind "$W/resolv.conf" /etc/resolv.conf || exit 91
start_server() {
  (umask 077; printf '%s' "$1" > "$W/server-password")
  cat > "$W/verify.sh" <<'EOF'
#!/bin/sh
echo received >> "${0%/*}/auth-received"
[ "$(sed -n 1p "$1")" = alice ] && [ "$(sed -n 2p "$1")" = "$(cat "${0%/*}/server-password")" ]
EOF
  chmod 0755 "$W/verify.sh"
  openvpn --dev tun --proto "$2" --port "$3" --local 127.0.0.1 \
    --server 10.99.0.0 255.255.255.0 --topology subnet \
    --ca "$W/ca.crt" --cert "$W/server.crt" --key "$W/server.key" --dh none \
    --comp-lzo adaptive --auth md5 --push "dhcp-option DNS 10.99.0.1" "${@:4}" \
    --script-security 2 --auth-user-pass-verify "$W/verify.sh" via-file \
    --verb 3 --log "$W/server.log" --writepid "$W/server.pid" --daemon || exit 92
  for i in $(seq 100); do
    grep -q 'Initialization Sequence Completed' "$W/server.log" 2>/dev/null && break
    sleep 0.1
  done
}
)SH";

// How a suite runs its scenarios.
struct OpenVPNSuiteOptions {
  const char* folderPattern;       // the work folder, for mkdtemp ("/tmp/...-XXXXXX")
  std::vector<std::string> tools;  // programs the scenarios need
  std::string unshareOptions;      // the namespaces ("--net --mount --pid --fork ...")
  const char* scenario;            // the script after kOpenVPNScenarioPrelude
  std::string leftovers;           // what a run leaves in the work folder (shell words)
  int timeoutSeconds;              // a safety net for one scenario
};

class OpenVPNNamespaceTest : public ::testing::Test {
 protected:
  // For the derived fixture's SetUpTestSuite: checks what the runs need and
  // makes the work folder with the scripts and certificates; on a miss,
  // records why every test of the suite is skipped.
  static void prepareSuite(const OpenVPNSuiteOptions& suite) {
    options() = suite;
    if (::geteuid() != 0) {
      skipReason() = "needs root";
      return;
    }
    int tun = ::open("/dev/net/tun", O_RDWR);
    if (tun < 0) {
      skipReason() = "no /dev/net/tun";
      return;
    }
    ::close(tun);
    for (const std::string& tool : suite.tools) {
      if (run("command -v " + tool + " >/dev/null").status != 0) {
        skipReason() = "no " + tool;
        return;
      }
    }
    if (run("unshare " + suite.unshareOptions + " true").status != 0) {
      skipReason() = "unshare --net --mount --pid is not allowed";
      return;
    }
    std::string pattern = suite.folderPattern;
    if (!::mkdtemp(pattern.data())) {
      skipReason() = "no temporary folder";
      return;
    }
    work() = pattern;
    platform::files::writeFileAtomically(work() + "/certs.sh", kOpenVPNTestCertificates, 0700);
    platform::files::writeFileAtomically(
        work() + "/scenario.sh", std::string(kOpenVPNScenarioPrelude) + suite.scenario, 0700);
    varnel::testing::ShellOutcome certs =
        run("bash '" + work() + "/certs.sh' '" + work() + "' 2>&1");
    if (certs.status != 0) skipReason() = "certificates could not be made: " + certs.output;
  }
  static void TearDownTestSuite() {
    if (!work().empty()) run("rm -rf '" + work() + "'");
  }
  void SetUp() override {
    if (!skipReason().empty()) GTEST_SKIP() << skipReason();
  }
  void TearDown() override {
    if (HasFailure()) std::cout << "--- server log ---\n" << serverLog << std::endl;
  }

  // Runs a scenario in fresh namespaces and returns everything it printed;
  // the server's log is kept for a failure's report.
  varnel::testing::ShellOutcome scenario(const std::string& name) {
    const std::string w = "'" + work() + "'";
    run("cd " + w + " && rm -rf " + options().leftovers);
    varnel::testing::ShellOutcome r =
        run("timeout " + std::to_string(options().timeoutSeconds) + " unshare " +
            options().unshareOptions + " bash " + w + "/scenario.sh " + w + " " + name + " '" +
            VARNEL_HELPER_PATH + "' '" + HELPER_TEST_CLIENT + "' 2>&1");
    serverLog = platform::files::readFile(work() + "/server.log").value_or("");
    return r;
  }

  static std::string& skipReason() {
    static std::string reason;
    return reason;
  }
  static std::string& work() {
    static std::string folder;
    return folder;
  }
  static OpenVPNSuiteOptions& options() {
    static OpenVPNSuiteOptions suite;
    return suite;
  }
  static varnel::testing::ShellOutcome run(const std::string& command) {
    return varnel::testing::runShell(command);
  }

  std::string serverLog;
};

}  // namespace helper_test
