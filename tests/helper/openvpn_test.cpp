#include "helper/openvpn.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <vector>

#include "helper/helper_files.h"
#include "helper/management_line.h"
#include "helper_test_util.h"
#include "platform/foundation/url.h"
#include "platform/system/file_util.h"
#include "platform/system/paths.h"
#include "support/temp_root.h"
#include "support/wait.h"

using helper::OpenVPN;
using platform::Value;

namespace {

std::vector<std::string> args(const Value& account) {
  std::string problem;
  auto a = OpenVPN::openVPNAccountToArgumentArray(account, &problem);
  EXPECT_TRUE(a.has_value()) << problem;
  return a.value_or(std::vector<std::string>{});
}

long countOf(const std::vector<std::string>& a, const std::string& s) {
  return std::count(a.begin(), a.end(), s);
}

// The elements after the first occurrence of `s`.
std::vector<std::string> after(const std::vector<std::string>& a, const std::string& s,
                               std::size_t n) {
  auto it = std::find(a.begin(), a.end(), s);
  if (it == a.end()) return {};
  ++it;
  return std::vector<std::string>(it, it + std::min<std::size_t>(n, a.end() - it));
}

unsigned modeOf(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

class OpenVPNTest : public varnel::testing::TempRootTest {};

TEST_F(OpenVPNTest, CommandLineOfUdpRequestWithPortList) {
  Value account = Value::dictionary({{"remote", "vpn.example.test"},
                                     {"port", "1194"},
                                     {"udp", true},
                                     {"fragment", 1300},
                                     {"mss", 1200},
                                     {"portList", Value::array({"443", "500"})},
                                     {"cipher", "AES-256-CBC"}});
  auto a = args(account);
  ASSERT_GE(a.size(), 17u);
  EXPECT_EQ(a[0], "--client");
  EXPECT_EQ(a[13], "--up");
  EXPECT_EQ(a[14], helper::privatePath("varnel-up.sh"));
  EXPECT_EQ(countOf(a, "--remote"), 3);
  EXPECT_EQ(after(a, "--remote", 3), (std::vector<std::string>{"vpn.example.test", "1194", "udp"}));
  EXPECT_EQ(after(a, "--fragment", 1), std::vector<std::string>{"1300"});
  EXPECT_EQ(after(a, "--mssfix", 1), std::vector<std::string>{"1200"});
  EXPECT_EQ(after(a, "500", 1), std::vector<std::string>{"udp"});
  EXPECT_EQ(after(a, "--cipher", 1), std::vector<std::string>{"AES-256-CBC"});
  // A silent remote is left after 20 s; OpenVPN's own pause stays short.
  EXPECT_EQ(after(a, "--connect-timeout", 1), std::vector<std::string>{"20"});
  EXPECT_EQ(after(a, "--connect-retry", 2), (std::vector<std::string>{"1", "5"}));
  // Management over a socket in the private folder; keep-alive asked.
  EXPECT_EQ(std::vector<std::string>(a.end() - 11, a.end()),
            (std::vector<std::string>{"--management", OpenVPN::managementSocketPath(), "unix",
                                      "--management-hold", "--ping", "10", "--ping-restart", "30",
                                      "--pull-filter", "ignore", "ping-restart"}));
  EXPECT_EQ(OpenVPN::managementSocketPath(),
            helper::privateFolder() + "/" + helper::kManagementSocketName);
  EXPECT_EQ(countOf(a, "--auth-user-pass"), 0);
}

TEST_F(OpenVPNTest, CommandLineOfProxyAndTcpRequests) {
  auto proxy = args(Value::dictionary({{"remote", "r.test"},
                                       {"port", "1194"},
                                       {"proxyEnabled", false},
                                       {"proxyIp", "127.0.0.1"},
                                       {"proxyPort", "8080"},
                                       {"portList", Value::array({"443"})},
                                       {"fragment", 1300}}));
  EXPECT_EQ(
      after(proxy, "--remote", 6),
      (std::vector<std::string>{"r.test", "443", "tcp", "--http-proxy", "127.0.0.1", "8080"}));
  EXPECT_EQ(countOf(proxy, "--remote"), 1);    // portList not used
  EXPECT_EQ(countOf(proxy, "--fragment"), 0);  // not UDP

  auto tcp = args(Value::dictionary({{"remote", "r.test"}, {"port", "443"}, {"udp", false}}));
  EXPECT_EQ(after(tcp, "--remote", 3), (std::vector<std::string>{"r.test", "443", "tcp"}));
}

TEST_F(OpenVPNTest, CommandLineScrambleAuthTlsAndCertificates) {
  auto byWord = args(Value::dictionary(
      {{"remote", "r"}, {"port", "1"}, {"scramble", "by_word"}, {"scrambleWord", "word"}}));
  EXPECT_EQ(after(byWord, "--scramble", 2),
            (std::vector<std::string>{"word", "--remote-cert-tls"}));
  auto other = args(Value::dictionary(
      {{"remote", "r"}, {"port", "1"}, {"scramble", "xormask"}, {"scrambleWord", "w"}}));
  EXPECT_EQ(after(other, "--scramble", 2), (std::vector<std::string>{"xormask", "w"}));

  auto empty = args(Value::dictionary(
      {{"remote", "r"}, {"port", "1"}, {"authUserPass", ""}, {"tls", ""}, {"ca", ""}}));
  EXPECT_EQ(countOf(empty, "--auth-user-pass"), 0);
  EXPECT_EQ(countOf(empty, "--tls-auth"), 0);
  EXPECT_EQ(countOf(empty, "--ca"), 0);

  auto full = args(Value::dictionary({{"remote", "r"},
                                      {"port", "1"},
                                      {"authUserPass", "pw"},
                                      {"tls", "dGxz"},
                                      {"ca", "Y2E="},
                                      {"key", "a2V5"}}));
  EXPECT_EQ(after(full, "--auth", 4),
            (std::vector<std::string>{"md5", "--auth-user-pass", "--management-query-passwords",
                                      "--remote-cert-tls"}));
  // The server's role is checked with and without a password.
  for (const auto& a : {empty, full, byWord})
    EXPECT_EQ(after(a, "--remote-cert-tls", 1), std::vector<std::string>{"server"});
  EXPECT_EQ(countOf(full, "--ns-cert-type"), 0);
  EXPECT_EQ(after(full, "--ca", 1), std::vector<std::string>{OpenVPN::filePath("ca")});
  EXPECT_EQ(after(full, "--key", 1), std::vector<std::string>{OpenVPN::filePath("key")});
}

TEST_F(OpenVPNTest, UnsafeOrMissingValuesAreRefused) {
  std::string problem;
  EXPECT_FALSE(
      OpenVPN::openVPNAccountToArgumentArray(Value::dictionary({{"port", "1"}}), &problem));
  EXPECT_NE(problem.find("remote"), std::string::npos);
  EXPECT_FALSE(OpenVPN::openVPNAccountToArgumentArray(
      Value::dictionary({{"remote", "--up"}, {"port", "1"}})));
  EXPECT_FALSE(OpenVPN::openVPNAccountToArgumentArray(
      Value::dictionary({{"remote", "r"}, {"port", "1\n--up x"}})));
  EXPECT_FALSE(OpenVPN::openVPNAccountToArgumentArray(
      Value::dictionary({{"remote", "r"}, {"port", "1"}, {"portList", Value::array({"-x"})}})));
}

TEST_F(OpenVPNTest, StrictBase64) {
  EXPECT_EQ(OpenVPN::decodeBase64Strict("aGVsbG8="), "hello");
  EXPECT_EQ(OpenVPN::decodeBase64Strict("aGk="), "hi");
  EXPECT_EQ(OpenVPN::decodeBase64Strict(""), "");
  EXPECT_FALSE(OpenVPN::decodeBase64Strict("aGVs\nbG8="));
  EXPECT_FALSE(OpenVPN::decodeBase64Strict("aGVsbG8"));
  EXPECT_FALSE(OpenVPN::decodeBase64Strict("a=Vs"));
  EXPECT_FALSE(OpenVPN::decodeBase64Strict("aG*sbG8="));
}

TEST_F(OpenVPNTest, FilesAreOwnerOnlyInThePrivateFolder) {
  ASSERT_TRUE(OpenVPN::writeOpenVPNCertificates(Value::dictionary(
      {{"ca", "Y2EtdGV4dA=="}, {"cert", "bm90IGJhc2U2NA\n=="}, {"key", "a2V5"}, {"tls", ""}})));
  EXPECT_EQ(modeOf(helper::privateFolder()), 0700u);
  EXPECT_EQ(platform::files::readFile(OpenVPN::filePath("ca")), "ca-text");
  EXPECT_EQ(modeOf(OpenVPN::filePath("ca")), 0600u);
  EXPECT_EQ(modeOf(OpenVPN::filePath("key")), 0600u);
  EXPECT_EQ(modeOf(OpenVPN::filePath("cert")), 0u);  // undecodable: nothing written
  EXPECT_EQ(platform::files::readFile(OpenVPN::filePath("tls")), "");
  EXPECT_EQ(modeOf(OpenVPN::upScriptPath()), 0700u);
  EXPECT_EQ(modeOf(OpenVPN::downScriptPath()), 0700u);
  EXPECT_EQ(platform::files::readFile(OpenVPN::upScriptPath()), OpenVPN::upScript());
}

TEST_F(OpenVPNTest, PlantedSymlinkIsReplacedNotFollowed) {
  const std::string folder = helper::privateFolder();
  ASSERT_FALSE(folder.empty());
  const std::string victim = root().file("victim");
  ASSERT_TRUE(platform::files::writeFileAtomically(victim, "untouched", 0644));
  ASSERT_EQ(::symlink(victim.c_str(), OpenVPN::filePath("ca").c_str()), 0);
  ASSERT_TRUE(OpenVPN::writeOpenVPNCertificates(Value::dictionary({{"ca", "bmV3"}})));
  EXPECT_EQ(platform::files::readFile(victim), "untouched");
  EXPECT_EQ(platform::files::readFile(OpenVPN::filePath("ca")), "new");
}

TEST_F(OpenVPNTest, PrivateFolderPreparedBySomeoneElseIsMovedAsideNotUsed) {
  const std::string folder = helper::privateFolder();
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ(folder, platform::paths::system("/run/varnel-helper"));
  // A symbolic link in its place is neither followed nor fatal.
  const std::string elsewhere = root().file("elsewhere");
  ASSERT_EQ(::mkdir(elsewhere.c_str(), 0777), 0);
  ASSERT_EQ(::rmdir(folder.c_str()), 0);
  ASSERT_EQ(::symlink(elsewhere.c_str(), folder.c_str()), 0);
  EXPECT_EQ(helper::privateFolder(), folder);
  EXPECT_TRUE(OpenVPN::writeOpenVPNCertificates(Value::dictionary()));
  EXPECT_EQ(modeOf(folder), 0700u);
  EXPECT_EQ(modeOf(elsewhere + "/varnel-up.sh"), 0u);
  EXPECT_EQ(modeOf(OpenVPN::upScriptPath()), 0700u);
  // A folder of another user: moved aside, its content never touched.
  if (::geteuid() != 0) return;  // only root can make one
  ASSERT_EQ(::rename(folder.c_str(), (folder + ".mine").c_str()), 0);
  ASSERT_EQ(::mkdir(folder.c_str(), 0777), 0);
  ASSERT_EQ(::chmod(folder.c_str(), 0777), 0);
  ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0);
  ASSERT_TRUE(platform::files::writeFileAtomically(folder + "/VarnelVPN.ca", "theirs", 0644));
  ASSERT_TRUE(OpenVPN::writeOpenVPNCertificates(Value::dictionary({{"ca", "bmV3"}})));
  EXPECT_EQ(helper::privateFolder(), folder);
  struct stat st;
  ASSERT_EQ(::lstat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, ::geteuid());
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  EXPECT_EQ(platform::files::readFile(OpenVPN::filePath("ca")), "new");
}

TEST_F(OpenVPNTest, ScrambleIsAskedOnlyWithAValueAndOnlyOfAnOpenVPNThatKnowsIt) {
  const Value base = Value::dictionary({{"remote", "r"}, {"port", "1"}});
  for (const Value& empty : {Value(""), Value::null()}) {
    Value account = base.mutableCopy();
    account.set("scramble", empty);
    account.set("scrambleWord", "");
    EXPECT_EQ(countOf(args(account), "--scramble"), 0);
  }
  // The installed program's own help decides.
  auto fake = [&](const std::string& name, const std::string& help) {
    const std::string path = root().file(name);
    EXPECT_TRUE(platform::files::writeFileAtomically(
        path, "#!/bin/sh\n[ \"$1\" = --help ] && printf '%s\\n' '" + help + "'\nexit 1\n", 0755));
    return ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  };
  const int with = fake("with", "--scramble xormask|reverse|obfuscate : obfuscation");
  const int without = fake("without", "--cipher alg : data channel cipher");
  EXPECT_TRUE(OpenVPN::supportsScramble(with));
  EXPECT_FALSE(OpenVPN::supportsScramble(without));
  EXPECT_FALSE(OpenVPN::supportsScramble(-1));
  // A request that needs it is refused before anything runs, with the reason.
  auto vpn = OpenVPN::create();
  Value account = base.mutableCopy();
  account.set("scramble", "xormask");
  vpn->setAccountDictionary(account);
  vpn->setOpenVPNPath(root().file("without"));
  vpn->setExecutableFile(without);
  EXPECT_FALSE(vpn->startOpenVPN([](int) {}));
  EXPECT_EQ(vpn->refusal(), helper::kScrambleUnsupportedMessage);
  EXPECT_FALSE(vpn->ovpnTask());
  ::close(with);
  ::close(without);
}

// The management dialogue, with a recorder in place of the socket.
class ManagementTest : public varnel::testing::TempRootTest {
 protected:
  void SetUp() override {
    helper_test::sharedLogger();
    vpn = OpenVPN::create({}, [this](const std::string& text) {
      std::lock_guard<std::mutex> lock(mutex);
      written.push_back(text);
    });
  }
  void start(Value account) {
    vpn->setAccountDictionary(account);
    // The state block without a process: deliver codes into `codes`.
    vpn->setOpenVPNPath("/nonexistent");
    vpn->startOpenVPN([this](int code) { codes.push_back(code); });
  }
  std::vector<int> settle(std::size_t n) {
    varnel::testing::waitUntilOnMainRunLoop([&] { return codes.size() >= n; },
                                            std::chrono::milliseconds(5000));
    return codes;
  }
  // Waits (at most 5 s) until `n` commands were written; a copy of them.
  std::vector<std::string> writtenAfter(std::size_t n) {
    varnel::testing::waitUntilOnMainRunLoop(
        [&] {
          std::lock_guard<std::mutex> lock(mutex);
          return written.size() >= n;
        },
        std::chrono::milliseconds(5000));
    std::lock_guard<std::mutex> lock(mutex);
    return written;
  }
  std::shared_ptr<OpenVPN> vpn;
  std::mutex mutex;
  std::vector<std::string> written;
  std::vector<int> codes;
};

TEST_F(ManagementTest, StateLinesBecomeCodesInOrder) {
  start(Value::dictionary({{"remote", "r"}, {"port", "1"}}));
  codes.clear();
  vpn->handleManagementData(">STATE:1700000000,CONNECTING,,,,,,\r\n");
  vpn->handleManagementData(">STATE:1700000001,CONNECTED,SUCCESS,10.8.0.6,1.2.3.4\n>STATE:17,EXI");
  vpn->handleManagementData("TING,SIGTERM,,,\n>LOG:1,I,STATE: not-a-state\n>STATE:\n");
  EXPECT_EQ(settle(4), (std::vector<int>{1, 7, 9, 0}));
}

TEST_F(ManagementTest, RestartOfASilentServerLeavesConnectedAndLogsWhy) {
  start(Value::dictionary({{"remote", "r"}, {"port", "1"}}));
  codes.clear();
  helper_test::drainLog();
  vpn->handleManagementData(">STATE:1700000001,CONNECTED,SUCCESS,10.8.0.6,1.2.3.4\n");
  vpn->handleManagementData(">STATE:1700000031,RECONNECTING,ping-restart,,,,,\n");
  EXPECT_EQ(settle(2), (std::vector<int>{7, 8}));
  const std::string log = helper_test::drainLog();
  EXPECT_NE(log.find("The connection to the server was lost (ping-restart); reconnecting."),
            std::string::npos)
      << log;
  // The attempts after it find nothing to lose: they say so, and only the
  // loss reads as one.
  vpn->handleManagementData(">STATE:1700000033,RECONNECTING,connection-failed,,,,,\n");
  EXPECT_EQ(settle(3), (std::vector<int>{7, 8, 8}));
  const std::string again = helper_test::drainLog();
  EXPECT_NE(again.find("No connection was made (connection-failed); OpenVPN tries again."),
            std::string::npos)
      << again;
  EXPECT_EQ(again.find("was lost"), std::string::npos) << again;
}

TEST_F(ManagementTest, PasswordDialogueSendsEscapedValuesAndLogsNoSecret) {
  start(Value::dictionary(
      {{"remote", "r"}, {"port", "1"}, {"name", "plan_de_alice"}, {"authUserPass", "p\"w\\1"}}));
  helper_test::drainLog();
  vpn->handleManagementData(">PASSWORD:Need 'Auth' username/password\n");
  vpn->handleManagementData("SUCCESS: 'Auth' username entered, but not yet verified\n");
  ASSERT_EQ(written.size(), 2u);
  EXPECT_EQ(written[0], "username \"Auth\" \"alice\"\n");
  EXPECT_EQ(written[1], "password \"Auth\" \"p\\\"w\\\\1\"\n");
  const std::string log = helper_test::drainLog();
  EXPECT_NE(log.find("Writing: password \"Auth\" <redacted>"), std::string::npos) << log;
  EXPECT_EQ(log.find("p\\\"w"), std::string::npos) << log;
}

// A refused password is not answered (OpenVPN exits, or prompts again);
// each new prompt is.
TEST_F(ManagementTest, RefusalIsNotAnsweredButTheNextPromptIs) {
  start(Value::dictionary(
      {{"remote", "r"}, {"port", "1"}, {"name", "plan_de_alice"}, {"authUserPass", "pw"}}));
  vpn->handleManagementData(">PASSWORD:Need 'Auth' username/password\n");
  vpn->handleManagementData(">PASSWORD:Verification Failed: 'Auth'\r\n");
  EXPECT_EQ(written, (std::vector<std::string>{"username \"Auth\" \"alice\"\n"}));
  vpn->handleManagementData(">PASSWORD:Need 'Auth' username/password\n");
  EXPECT_EQ(written.size(), 2u);
  EXPECT_EQ(written.back(), "username \"Auth\" \"alice\"\n");
}

TEST_F(ManagementTest, PromptsWithoutPasswordOrWithLineBreakSendNothing) {
  start(Value::dictionary({{"remote", "r"}, {"port", "1"}, {"name", "bob"}}));
  vpn->handleManagementData(">PASSWORD:Need 'Auth' username/password\n");
  EXPECT_TRUE(written.empty());
  vpn->setAccountDictionary(Value::dictionary({{"name", "bob"}, {"authUserPass", "line\nbreak"}}));
  vpn->handleManagementData(">PASSWORD:Need 'Auth' username/password\n");
  vpn->handleManagementData("SUCCESS: 'Auth' username entered, but not yet verified\n");
  ASSERT_EQ(written.size(), 1u);
  EXPECT_EQ(written[0], "username \"Auth\" \"bob\"\n");
}

// Every hold OpenVPN waits in is released: the first of the run at once,
// each later one after the back-off, also one that no STATE line came
// before (a restart OpenVPN makes without reporting a state).
TEST_F(ManagementTest, EveryHoldIsReleasedTheRestartsAfterAPause) {
  start(Value::dictionary({{"remote", "r"}, {"port", "1"}}));
  vpn->handleManagementData(">HOLD:Waiting for hold release:0\r\n");
  EXPECT_EQ(writtenAfter(1), (std::vector<std::string>{"hold release\n"}));
  helper_test::drainLog();
  vpn->handleManagementData(">HOLD:Waiting for hold release:1\r\n");
  {
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(written.size(), 1u);  // not at once
  }
  EXPECT_EQ(writtenAfter(2), (std::vector<std::string>{"hold release\n", "hold release\n"}));
  const std::string log = helper_test::drainLog();
  EXPECT_NE(log.find("Trying the server again in 1 s."), std::string::npos) << log;
}

// The dialogue as OpenVPN 2.6 held it with the helper (recorded from a real
// OpenVPN whose TCP server refused): the management connection releases
// the hold OpenVPN waits in when it opens, and the ">HOLD:" notice that
// OpenVPN sends on every new connection is not answered again; the hold
// after the restart is, after the back-off.
TEST_F(ManagementTest, TheConnectionsHoldNoticeIsNotAnsweredTwice) {
  start(Value::dictionary({{"remote", "r"}, {"port", "1"}}));
  vpn->socketDidConnectToUrl(nullptr,
                             platform::URL::fileURLWithPath(OpenVPN::managementSocketPath()));
  vpn->handleManagementData(
      ">INFO:OpenVPN Management Interface Version 5 -- type 'help' for more info\r\n"
      ">HOLD:Waiting for hold release:0\r\n"
      "SUCCESS: real-time state notification set to ON\r\n"
      "SUCCESS: real-time log notification set to ON\r\n"
      ">LOG:1796912198,D,MANAGEMENT: CMD 'hold release'\r\n"
      "SUCCESS: hold release succeeded\r\n");
  const std::vector<std::string> opening = {"state on\n", "log on\n", "hold release\n"};
  {
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(written, opening);
  }
  vpn->handleManagementData(
      ">STATE:1796912198,TCP_CONNECT,,,,,,\r\n"
      ">LOG:1796912198,N,TCP: connect to [AF_INET]127.0.0.1:1443 failed: Connection refused\r\n"
      ">STATE:1796912198,RECONNECTING,connection-failed,,,,,\r\n"
      ">HOLD:Waiting for hold release:1\r\n");
  {
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(written, opening);  // not at once
  }
  std::vector<std::string> all = opening;
  all.push_back("hold release\n");
  EXPECT_EQ(writtenAfter(4), all);
}

// Back-off: at least OpenVPN's own pause, doubling from 1 s, capped, and
// started again by a connection that worked.
TEST_F(ManagementTest, HoldBackOffGrowsIsCappedAndResetsOnConnect) {
  start(Value::dictionary({{"remote", "r"}, {"port", "1"}}));
  EXPECT_EQ(vpn->nextHoldDelay(0), 0);  // the first hold of the run
  vpn->handleManagementData(">HOLD:Waiting for hold release:0\n");
  std::vector<double> delays;
  for (int i = 0; i < 7; ++i) delays.push_back(vpn->nextHoldDelay(0));
  EXPECT_EQ(delays, (std::vector<double>{1, 2, 4, 8, 16, 30, 30}));
  EXPECT_EQ(vpn->nextHoldDelay(300), helper::kHoldBackoffMaxSeconds);  // OpenVPN's own, capped
  codes.clear();
  vpn->handleManagementData(">STATE:1700000001,CONNECTED,SUCCESS,10.8.0.6,1.2.3.4\n");
  EXPECT_EQ(settle(1), std::vector<int>{7});
  EXPECT_EQ(vpn->nextHoldDelay(0), 1);
  EXPECT_EQ(vpn->nextHoldDelay(5), 5);  // OpenVPN's pause when longer
  EXPECT_EQ(vpn->nextHoldDelay(0), 4);
}

// Each restart takes the next remote (the port, then the port list): the
// pause grows once per round through them, and a round never takes longer
// than the longest pause, so a server that is back is reached again soon.
TEST_F(ManagementTest, HoldBackOffGrowsPerRoundThroughTheRemotes) {
  start(Value::dictionary(
      {{"remote", "r"},
       {"port", "443"},
       {"portList", Value::array({"443", "500", "550", "1289", "2207", "3155"})}}));
  EXPECT_EQ(vpn->nextHoldDelay(0), 0);
  vpn->handleManagementData(">HOLD:Waiting for hold release:0\n");  // the first, at once
  std::vector<double> delays;
  for (int i = 0; i < 28; ++i) delays.push_back(vpn->nextHoldDelay(1));
  const double longest = helper::kHoldBackoffMaxSeconds / 7;
  for (int i = 0; i < 28; ++i) {
    const double expected = i < 7 ? 1 : i < 14 ? 2 : i < 21 ? 4 : longest;
    EXPECT_DOUBLE_EQ(delays[i], expected) << "restart " << i;
  }
  double round = 0;
  for (int i = 21; i < 28; ++i) round += delays[i];
  EXPECT_LE(round, helper::kHoldBackoffMaxSeconds + 1e-9);
  // OpenVPN's own longer pause still counts.
  EXPECT_EQ(vpn->nextHoldDelay(20), 20);
}

TEST_F(ManagementTest, OutputChunkWithBindFailureAndHoldReportsTen) {
  start(Value::dictionary({{"remote", "r"}, {"port", "1"}}));
  codes.clear();
  vpn->handleOutput(
      "MANAGEMENT: Socket bind failed on local address\nNeed hold release from "
      "management interface, waiting...\n");
  EXPECT_EQ(settle(1), std::vector<int>{10});
}

TEST_F(ManagementTest, MarkerCutBetweenOutputChunksIsStillSeen) {
  start(Value::dictionary({{"remote", "r"}, {"port", "1"}}));
  codes.clear();
  vpn->handleOutput("lots of output\nMANAGEMENT: Socket bi");
  vpn->handleOutput("nd failed on local address\n");
  vpn->handleOutput("\xc3");  // a character cut in two does not hide the line
  vpn->handleOutput("\xa9 MANAGEMENT: Socket bind failed\n");
  EXPECT_EQ(settle(2), (std::vector<int>{10, 10}));
}

TEST(OpenVPNNames, HoldLineCarriesOpenVPNsPause) {
  using helper::ManagementLine;
  EXPECT_EQ(ManagementLine::parse(">HOLD:Waiting for hold release:10\r").holdSeconds, 10);
  EXPECT_EQ(ManagementLine::parse(">HOLD:Waiting for hold release:0").holdSeconds, 0);
  const ManagementLine bare = ManagementLine::parse(">HOLD:Waiting for hold release");
  EXPECT_EQ(bare.kind, ManagementLine::Kind::kHold);
  EXPECT_EQ(bare.holdSeconds, 0);
  EXPECT_LT(ManagementLine::parse(">HOLD:x:99999999999999999999").holdSeconds, 1000000);
}

TEST(OpenVPNNames, UserNameAndStateTable) {
  EXPECT_EQ(OpenVPN::userNameOf("a_b_c"), "c");
  EXPECT_EQ(OpenVPN::userNameOf("plain"), "plain");
  EXPECT_EQ(OpenVPN::stateCodeForName("TCP_CONNECT"), 1);
  EXPECT_EQ(OpenVPN::stateCodeForName("PASSWORD"), 12);
  EXPECT_EQ(OpenVPN::stateCodeForName("I"), 0);
  EXPECT_EQ(OpenVPN::quoteManagementValue("a\"b"), "\"a\\\"b\"");
  EXPECT_FALSE(OpenVPN::quoteManagementValue("a\rb"));
}

}  // namespace
