#include "helper/helper_service.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "helper/helper_files.h"
#include "helper_test_util.h"
#include "ipc/helper_protocol.h"
#include "platform/runloop/run_loop.h"
#include "platform/sysconfig/network_connection.h"
#include "platform/system/file_util.h"
#include "support/manual_clock.h"
#include "support/temp_root.h"
#include "support/wait.h"

namespace fs = std::filesystem;
namespace sc = platform::sysconfig;
using helper::HelperService;
using ipc::XPCMessage;
using platform::Value;

namespace {

XPCMessage request(std::initializer_list<std::pair<const char*, Value>> entries) {
  XPCMessage m;
  for (const auto& [key, value] : entries) m.setObject(value, key);
  return m;
}

class HelperServiceTest : public varnel::testing::TempRootTest {
 protected:
  void SetUp() override {
    logger = helper_test::sharedLogger();
    helper_test::drainLog();
    driver = std::make_shared<sc::SimulatorDriver>();
    options_.preferences = helper::SystemPreferencesHandler::create(driver);
    options_.logger = logger;
    options_.exitProcess = [this](int status) { exits.push_back(status); };
    options_.settleDelay = 0.2;
    options_.policy.executables = {fakeSSTP()};
    options_.policy.sstpOptions = {root().file("sstp-options")};
    service = HelperService::create(options_);
  }
  // The service anew, its settle timer on a clock the test moves.
  void useManualClock() {
    options_.clock = clock;
    options_.settleDelay = 10;
    service = HelperService::create(options_);
  }

  // A stand-in SSTP client: records its arguments, then prints each line
  // that the test writes to its standard input, until "exit".
  std::string fakeSSTP() {
    const std::string path = root().file("sstpc");
    // The helper starts the checked file through /proc/self/fd, so $0 is not
    // the path: the record goes to a fixed place.
    platform::files::writeFileAtomically(path,
                                         "#!/bin/sh\n"
                                         "printf '%s\\n' \"$*\" > '" +
                                             path +
                                             ".args'\n"
                                             "while read -r line; do\n"
                                             "  [ \"$line\" = exit ] && exit 0\n"
                                             "  printf '%s\\n' \"$line\"\n"
                                             "done\n",
                                         0755);
    return path;
  }
  // The installation's own SSTP options file (root-owned, in root's folders).
  std::string sstpOptions() {
    const std::string path = root().file("sstp-options");
    platform::files::writeFileAtomically(path, "noipdefault\n", 0644);
    return path;
  }
  void say(const std::string& line) {
    auto task = service->sstpTask();
    ASSERT_TRUE(task);
    ASSERT_TRUE(task->WriteStringToStandardInput(line + "\n"));
  }
  std::int64_t state() {
    auto reply = service->handleMessage(request({{"operation", "CurrentConnectionState"}}));
    return reply ? reply->objectForKey("result").value().asInt64() : -1;
  }
  bool waitForState(std::int64_t s, int ms = 10000) {
    return varnel::testing::waitUntilOnMainRunLoop([&] { return state() == s; },
                                                   std::chrono::milliseconds(ms));
  }
  // The end of the client's connection, handled as the program does: off
  // the main queue, which meanwhile runs (child exits are reported there).
  void endClient() {
    XPCMessage ended;
    ended.setObject(Value("Connection invalid"), ipc::kXPCErrorKey);
    std::atomic<bool> done{false};
    std::thread handler([&] {
      EXPECT_FALSE(service->handleMessage(ended));
      done = true;
    });
    EXPECT_TRUE(varnel::testing::waitUntilOnMainRunLoop([&] { return done.load(); },
                                                        std::chrono::milliseconds(30000)));
    handler.join();
  }

  std::shared_ptr<helper::LKNotificationLogger> logger;
  std::shared_ptr<sc::SimulatorDriver> driver;
  HelperService::Options options_;
  std::shared_ptr<HelperService> service;
  std::vector<int> exits;
  std::shared_ptr<varnel::testing::ManualClock> clock = varnel::testing::ManualClock::create();
};

TEST_F(HelperServiceTest, FreshHelperAnswersStateZeroAndUnknownOperationsWithoutResult) {
  EXPECT_EQ(state(), 0);
  auto reply = service->handleMessage(request({{"operation", "IntentionallyBroken"}}));
  ASSERT_TRUE(reply);
  EXPECT_FALSE(reply->objectForKey("result"));
  EXPECT_FALSE(reply->objectForKey("message"));
  EXPECT_EQ(state(), 0);
}

// Every name a client sends is one the handler serves: the connection
// request of each connection type, the poll and the disconnect. Only the
// deliberately unserved name (a type without a request) is not.
TEST_F(HelperServiceTest, EveryOperationAClientSendsIsServed) {
  std::vector<std::string> sent = {ipc::kCurrentConnectionStateOperation, ipc::kLogUpdateOperation,
                                   ipc::kDisconnectConnectionOperation};
  for (std::int64_t type = -1; type <= ipc::kConnectionTypeIKEv2 + 1; ++type) {
    if (const char* name = ipc::connectionRequestOperation(type))
      sent.push_back(name);
    else
      EXPECT_TRUE(type < 0 || type >= ipc::kConnectionTypeIKEv2) << type;
  }
  for (const std::string& name : sent) {
    std::optional<ipc::HelperOperation> parsed = HelperService::parseOperation(name);
    ASSERT_TRUE(parsed) << name;
    bool named = false;
    for (const ipc::HelperOperationName& entry : ipc::kHelperOperations)
      named = named || (entry.operation == *parsed && name == entry.name);
    EXPECT_TRUE(named) << name;
    // The handler answers each one with "result" or, refused, with its
    // reason under "message"; an unknown name never gets either. (The
    // network services' requests carry values they can take.)
    auto reply = service->handleMessage(request({{"operation", Value(name)},
                                                 {"ip", "10.9.0.1"},
                                                 {"assigned", "10.9.0.1"},
                                                 {"username", "alice"},
                                                 {"password", "pw"},
                                                 {"ipsec", "psk"},
                                                 {"sharedKey", "psk"}}));
    ASSERT_TRUE(reply) << name;
    EXPECT_TRUE(reply->objectForKey("result") || reply->objectForKey("message")) << name;
  }
  for (const ipc::HelperOperationName& entry : ipc::kHelperOperations)
    EXPECT_EQ(HelperService::parseOperation(entry.name), entry.operation) << entry.name;
  for (const char* name : {ipc::kUnservedOperation, "", "currentconnectionstate", "LogUpdate "})
    EXPECT_FALSE(HelperService::parseOperation(name)) << name;
  auto unserved = service->handleMessage(request({{"operation", ipc::kUnservedOperation}}));
  ASSERT_TRUE(unserved);
  EXPECT_FALSE(unserved->objectForKey("result"));
  EXPECT_TRUE(exits.empty());
}

TEST_F(HelperServiceTest, LogUpdateDrainsTheBuffer) {
  auto fresh = std::make_shared<helper::LKNotificationLogger>();
  HelperService::Options options;
  options.logger = fresh;
  auto s = HelperService::create(options);
  EXPECT_FALSE(s->handleMessage(request({{"operation", "LogUpdate"}}))->objectForKey("result"));
  auto empty = s->handleMessage(request({{"operation", "LogUpdate"}}));
  EXPECT_EQ(empty->objectForKey("result").value().asString(), "");
}

TEST_F(HelperServiceTest, DisconnectGivesFourThenOneAndBrokenMessageExits) {
  useManualClock();
  // Nothing runs (the attempt already ended): disconnected at once, not
  // after the settle delay.
  auto reply = service->handleMessage(request({{"operation", "DisconnectConnection"}}));
  ASSERT_TRUE(reply);
  EXPECT_TRUE(reply->objectForKey("result").value().asBool());
  EXPECT_EQ(state(), 1);
  // An SSTP client that ignores the interrupt: disconnecting lasts the
  // settle delay, then the state is disconnected.
  platform::files::writeFileAtomically(
      root().file("sstpc"), "#!/bin/sh\ntrap '' INT\nwhile read -r line; do :; done\n", 0755);
  service->handleMessage(request({{"operation", "SSTPConnectionRequest"},
                                  {"sstpLocation", root().file("sstpc")},
                                  {"username", "u"},
                                  {"password", "p"},
                                  {"host", "sstp.test"},
                                  {"sstpOptions", sstpOptions()}}));
  ASSERT_TRUE(service->sstpTask());
  service->handleMessage(request({{"operation", "DisconnectConnection"}}));
  EXPECT_EQ(state(), 4);
  clock->advance(std::chrono::milliseconds(9999));
  platform::runloop::RunLoop::main().processPending();
  EXPECT_EQ(state(), 4);
  clock->advance(std::chrono::milliseconds(1));
  EXPECT_TRUE(waitForState(1));
  EXPECT_TRUE(exits.empty());

  XPCMessage broken;
  broken.setObject(Value("interrupted"), ipc::kXPCErrorKey);
  EXPECT_FALSE(service->handleMessage(broken));
  EXPECT_EQ(exits, std::vector<int>{0});
  EXPECT_EQ(service->connectionState(), 4);
}

TEST_F(HelperServiceTest, PPTPRequestFollowsTheServiceStatus) {
  auto reply = service->handleMessage(request({{"operation", "PPTPConnectionRequest"},
                                               {"ip", "vpn.test"},
                                               {"username", "alice"},
                                               {"password", "topsecret"}}));
  EXPECT_TRUE(reply->objectForKey("result").value().asBool());
  EXPECT_TRUE(waitForState(5));
  driver->setStopResults({false, false, false, false, false});
  service->handleMessage(request({{"operation", "DisconnectConnection"}}));
  EXPECT_EQ(driver->forcedStopCount(), 1);
  EXPECT_EQ(driver->stopCount(), 6);
  EXPECT_TRUE(waitForState(1));
  const std::string log = helper_test::drainLog();
  EXPECT_NE(log.find("PPTP connection request recieved. Creating service."), std::string::npos);
  EXPECT_NE(log.find("is now connected."), std::string::npos);
  EXPECT_EQ(log.find("topsecret"), std::string::npos) << log;
}

TEST_F(HelperServiceTest, IPSecRequestLogsNoSecretAndDriverFailureGivesTwo) {
  driver->setStartFails(true);
  service->handleMessage(request({{"operation", "IPSecConnectionRequest"},
                                  {"assigned", "ipsec.test"},
                                  {"sharedKey", "presharedsecret"}}));
  EXPECT_EQ(state(), 2);
  const std::string log = helper_test::drainLog();
  EXPECT_NE(log.find("ipsec.test <redacted>"), std::string::npos) << log;
  EXPECT_EQ(log.find("presharedsecret"), std::string::npos) << log;
}

TEST_F(HelperServiceTest, LinkThatDropsWhileConnectingIsAFailure) {
  driver->setStartStatuses({sc::ConnectionStatus::Connecting, sc::ConnectionStatus::Disconnected});
  service->handleMessage(request({{"operation", "L2TPConnectionRequest"},
                                  {"ip", "l2tp.test"},
                                  {"username", "u"},
                                  {"password", "p"},
                                  {"ipsec", "s"}}));
  EXPECT_TRUE(waitForState(2));
}

TEST_F(HelperServiceTest, UnknownExecutableIsRefused) {
  auto reply = service->handleMessage(request({{"operation", "SSTPConnectionRequest"},
                                               {"sstpLocation", "/bin/sh"},
                                               {"username", "u"},
                                               {"password", "p"},
                                               {"host", "h"},
                                               {"sstpOptions", "/etc/opts"}}));
  EXPECT_FALSE(reply->objectForKey("result"));
  EXPECT_EQ(reply->stringForKey("message"), Value(helper::kSSTPClientRefusal));
  EXPECT_EQ(state(), 2);
  EXPECT_FALSE(service->sstpTask());
  EXPECT_NE(helper_test::drainLog().find("Refused to start /bin/sh"), std::string::npos);
  // A path holding a line break cannot forge a line of the log.
  for (const char* key : {"openVPNPath", "sstpLocation"}) {
    service->handleMessage(
        request({{"operation", std::string(key) == "openVPNPath" ? "OpenVPNConnectionRequest"
                                                                 : "SSTPConnectionRequest"},
                 {key, "/bin/" + std::string(key) + "\nConnection 1 is now connected."}}));
    const std::string log = helper_test::drainLog();
    EXPECT_EQ(log.find("\nConnection 1 is now connected."), std::string::npos) << log;
    EXPECT_NE(log.find("Refused to start /bin/" + std::string(key) +
                       "\\nConnection 1 is now connected.: "),
              std::string::npos)
        << log;
  }
  service->handleMessage(request(
      {{"operation", "OpenVPNConnectionRequest"}, {"openVPNPath", root().file("sstpc.fifo")}}));
  EXPECT_FALSE(service->openVPN());
}

// A refused OpenVPN request is answered with its reason, as every refused
// request is, never with a "yes" followed by a silent failure.
TEST_F(HelperServiceTest, EveryRefusedOpenVPNRequestIsAnsweredWithItsReason) {
  const std::string openvpn = root().file("openvpn");
  ASSERT_TRUE(platform::files::writeFileAtomically(openvpn, "#!/bin/sh\nexit 1\n", 0755));
  options_.policy.executables = {openvpn};
  service = HelperService::create(options_);
  auto reply = service->handleMessage(request(
      {{"operation", "OpenVPNConnectionRequest"}, {"openVPNPath", "/bin/sh"}, {"remote", "r"}}));
  ASSERT_TRUE(reply);
  EXPECT_FALSE(reply->objectForKey("result"));
  EXPECT_EQ(reply->stringForKey("message"), Value(helper::kOpenVPNProgramRefusal));
  EXPECT_EQ(state(), 2);
  // A value the command line cannot take (no server at all).
  reply = service->handleMessage(
      request({{"operation", "OpenVPNConnectionRequest"}, {"openVPNPath", openvpn}}));
  ASSERT_TRUE(reply);
  EXPECT_FALSE(reply->objectForKey("result"));
  const Value why = reply->stringForKey("message");
  ASSERT_TRUE(why.isString());
  EXPECT_EQ(why.asString().rfind("OpenVPN request refused: ", 0), 0u) << why.asString();
  EXPECT_EQ(state(), 2);
}

TEST_F(HelperServiceTest, SSTPRunFollowsTheClientsPhrases) {
  service->handleMessage(request({{"operation", "SSTPConnectionRequest"},
                                  {"sstpLocation", fakeSSTP()},
                                  {"username", "u"},
                                  {"password", "p"},
                                  {"host", "sstp.test"},
                                  {"sstpOptions", sstpOptions()}}));
  EXPECT_EQ(state(), 3);
  // The password reached pppd's options in an owner-only file.
  const std::string secrets = helper::privatePath("VarnelVPN.sstp-secrets.1");
  EXPECT_EQ(platform::files::readFile(secrets), "password \"p\"\n");
  struct stat st;
  ASSERT_EQ(::stat(secrets.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_TRUE(service->sstpTask());
  say("Connection Established");
  EXPECT_TRUE(waitForState(5));
  say("Terminating on signal 2");
  EXPECT_TRUE(waitForState(1));
  say("Connection was aborted");
  EXPECT_TRUE(waitForState(2));
  say("SSTP session was established");
  EXPECT_TRUE(waitForState(1));
  say("Connection failed");
  EXPECT_TRUE(waitForState(2));
  say("Connection Established");
  EXPECT_TRUE(waitForState(5));
  say("exit");
  EXPECT_TRUE(waitForState(1));
  EXPECT_TRUE(varnel::testing::waitUntilOnMainRunLoop([&] { return !service->sstpTask(); }));
  auto args = platform::files::readFile(root().file("sstpc.args"));
  ASSERT_TRUE(args);
  EXPECT_EQ(args->substr(0, 58), "--log-level 2 --log-stdout --cert-warn --user u sstp.test ");
  EXPECT_EQ(args->find("--password"), std::string::npos);
  EXPECT_NE(args->find("file " + sstpOptions() + " file " + secrets + " noauth mtu 1400 logfile "),
            std::string::npos);
  // Removed once the client ended.
  EXPECT_FALSE(platform::files::readFile(secrets));
}

TEST_F(HelperServiceTest, SSTPClientThatEndsBeforeConnectingFailsAndTeardownStopsIt) {
  service->handleMessage(request({{"operation", "SSTPConnectionRequest"},
                                  {"sstpLocation", fakeSSTP()},
                                  {"username", "u"},
                                  {"password", "p"},
                                  {"host", "sstp.test"},
                                  {"sstpOptions", sstpOptions()}}));
  helper_test::drainLog();
  // What sstpc 1.0.18 writes when the server does not speak SSTP; its reason
  // is in the log before the state that tells of the end.
  say("Dec 11 13:29:39 sstpc[17224]: Connected to 127.0.0.1 ");
  say("Dec 11 13:29:39 sstpc[17224]: Could not perform HTTP handshake with server ");
  say("**Error: Could not perform HTTP handshake with server, (-1)");
  say("exit");
  EXPECT_TRUE(waitForState(2));
  EXPECT_NE(helper_test::drainLog().find(
                "SSTP connection ended: Could not perform HTTP handshake with server\n"),
            std::string::npos);
  EXPECT_TRUE(varnel::testing::waitUntilOnMainRunLoop([&] { return !service->sstpTask(); }));
  // Cancelling after the end: nothing to wait for.
  service->handleMessage(request({{"operation", "DisconnectConnection"}}));
  EXPECT_EQ(state(), 1);

  service->handleMessage(request({{"operation", "SSTPConnectionRequest"},
                                  {"sstpLocation", fakeSSTP()},
                                  {"username", "u"},
                                  {"password", "p"},
                                  {"host", "sstp.test"},
                                  {"sstpOptions", sstpOptions()}}));
  say("Connection Established");
  EXPECT_TRUE(waitForState(5));
  service->handleMessage(request({{"operation", "DisconnectConnection"}}));
  // The interrupt ends the client; its exit sets 1.
  EXPECT_TRUE(waitForState(1));
}

TEST_F(HelperServiceTest, SSTPPasswordIsOnNoCommandLine) {
  const std::string password = "pw-Only-In-The-File-7731";
  service->handleMessage(request({{"operation", "SSTPConnectionRequest"},
                                  {"sstpLocation", fakeSSTP()},
                                  {"username", "u"},
                                  {"password", password},
                                  {"host", "sstp.test"},
                                  {"sstpOptions", sstpOptions()}}));
  ASSERT_TRUE(service->sstpTask());
  say("Connection Established");
  ASSERT_TRUE(waitForState(5));
  // Every process's command line, the running client's among them.
  ASSERT_GT(service->sstpTask()->processIdentifier(), 0);
  int seen = 0;
  DIR* proc = ::opendir("/proc");
  ASSERT_TRUE(proc);
  while (dirent* e = ::readdir(proc)) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    std::optional<std::string> cmdline =
        platform::files::readFile(std::string("/proc/") + e->d_name + "/cmdline");
    if (!cmdline) continue;
    ++seen;
    EXPECT_EQ(cmdline->find(password), std::string::npos) << e->d_name;
  }
  ::closedir(proc);
  EXPECT_GT(seen, 1);
  std::optional<std::string> own = platform::files::readFile(
      "/proc/" + std::to_string(service->sstpTask()->processIdentifier()) + "/cmdline");
  ASSERT_TRUE(own);
  EXPECT_NE(own->find("sstp.test"), std::string::npos);
  say("exit");
  EXPECT_TRUE(waitForState(1));
  EXPECT_EQ(helper_test::drainLog().find(password), std::string::npos);
}

// Every refused SSTP request is answered with its reason and no "result"
// (the client's form of a refusal), never with a "yes" and silence.
TEST_F(HelperServiceTest, EveryRefusedSSTPRequestIsAnsweredWithItsReason) {
  const Value good = Value::dictionary({{"operation", "SSTPConnectionRequest"},
                                        {"sstpLocation", fakeSSTP()},
                                        {"username", "u"},
                                        {"password", "p"},
                                        {"host", "sstp.test"},
                                        {"sstpOptions", sstpOptions()}});
  // The good request with `changes`; a None value leaves the key out.
  auto ask = [&](const std::vector<std::pair<std::string, Value>>& changes) {
    XPCMessage m;
    for (const char* key :
         {"operation", "sstpLocation", "username", "password", "host", "sstpOptions"}) {
      Value value = good[key];
      for (const auto& [k, v] : changes)
        if (k == key) value = v;
      if (!value.isNone()) m.setObject(value, key);
    }
    return service->handleMessage(m);
  };
  const std::vector<std::pair<std::vector<std::pair<std::string, Value>>, const char*>> cases = {
      {{{"sstpLocation", "/bin/sh"}}, helper::kSSTPClientRefusal},
      {{{"sstpLocation", Value()}}, helper::kSSTPClientRefusal},
      {{{"username", Value()}}, helper::kSSTPValuesRefusal},
      {{{"username", "-plugin"}}, helper::kSSTPValuesRefusal},
      {{{"host", "sstp.test plugin /x.so"}}, helper::kSSTPValuesRefusal},
      {{{"host", Value()}}, helper::kSSTPValuesRefusal},
      {{{"sstpOptions", "/etc/opts"}}, helper::kSSTPOptionsRefusal},
      {{{"password", "p\nplugin /x.so"}}, helper::kSSTPPasswordRefusal},
  };
  for (const auto& [changes, refusal] : cases) {
    const std::optional<ipc::XPCMessage> reply = ask(changes);
    ASSERT_TRUE(reply) << refusal;
    EXPECT_FALSE(reply->objectForKey("result")) << refusal;
    EXPECT_EQ(reply->stringForKey("message"), Value(refusal)) << changes.front().first;
    EXPECT_EQ(state(), 2) << refusal;
    EXPECT_FALSE(service->sstpTask()) << refusal;
  }
  // The accepted request still gets its "yes".
  const std::optional<ipc::XPCMessage> reply = ask({});
  ASSERT_TRUE(reply);
  EXPECT_TRUE(reply->objectForKey("result").value().asBool());
  EXPECT_FALSE(reply->objectForKey("message"));
  ASSERT_TRUE(service->sstpTask());
  say("exit");
  EXPECT_TRUE(waitForState(2));
}

TEST_F(HelperServiceTest, SSTPOptionsOnlyFromTheInstallationsOwnFile) {
  auto ask = [&](const std::string& options) {
    service->handleMessage(request({{"operation", "SSTPConnectionRequest"},
                                    {"sstpLocation", fakeSSTP()},
                                    {"username", "u"},
                                    {"password", "p"},
                                    {"host", "sstp.test"},
                                    {"sstpOptions", options}}));
    return service->sstpTask() != nullptr;
  };
  helper_test::drainLog();
  EXPECT_FALSE(ask(root().file("missing-options")));
  EXPECT_EQ(state(), 2);
  const std::string link = root().file("options-link");
  ASSERT_EQ(::symlink(sstpOptions().c_str(), link.c_str()), 0);
  EXPECT_FALSE(ask(link));
  EXPECT_NE(helper_test::drainLog().find("is not the installation's own"), std::string::npos);
  if (::geteuid() == 0) {
    // A file in a user's folder, as that user would offer it.
    const std::string folder = root().file("user-home");
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    ASSERT_TRUE(platform::files::writeFileAtomically(folder + "/opts", "plugin /x.so\n", 0644));
    ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chown((folder + "/opts").c_str(), 65534, 65534), 0);
    EXPECT_FALSE(ask(folder + "/opts"));
    EXPECT_EQ(state(), 2);
  }
  // No secrets file stays behind for a refused request.
  DIR* dir = ::opendir(helper::privateFolder().c_str());
  ASSERT_TRUE(dir);
  while (dirent* e = ::readdir(dir))
    EXPECT_EQ(std::string(e->d_name).find("sstp-secrets"), std::string::npos) << e->d_name;
  ::closedir(dir);
  EXPECT_TRUE(ask(sstpOptions()));
  say("exit");
  EXPECT_TRUE(waitForState(2));
}

TEST_F(HelperServiceTest, LateReportsOfAnOlderConnectionAreIgnored) {
  service->handleMessage(request(
      {{"operation", "PPTPConnectionRequest"}, {"ip", "a"}, {"username", "u"}, {"password", "p"}}));
  EXPECT_TRUE(waitForState(5));
  auto old = driver->lastConnection();
  driver->setStartStatuses({sc::ConnectionStatus::Connecting});
  service->handleMessage(request(
      {{"operation", "PPTPConnectionRequest"}, {"ip", "b"}, {"username", "u"}, {"password", "p"}}));
  EXPECT_EQ(state(), 3);
  old->reportStatus(sc::ConnectionStatus::Connected);
  service->OpenVPNStateHandler(helper::kOpenVPNStateProcessExit, 0);
  varnel::testing::waitUntilOnMainRunLoop([] { return false; }, std::chrono::milliseconds(200));
  EXPECT_EQ(state(), 3);
}

TEST_F(HelperServiceTest, OpenVPNCodesMapToStates) {
  const std::uint64_t g = 0;  // the generation of a helper that saw no request
  service->OpenVPNStateHandler(9, g);
  EXPECT_EQ(service->connectionState(), 4);
  service->setConnectionState(ipc::kHelperStateDisconnected);
  service->OpenVPNStateHandler(9, g);
  EXPECT_EQ(service->connectionState(), 1);
  service->OpenVPNStateHandler(2, g);
  EXPECT_EQ(service->connectionState(), 3);
  service->OpenVPNStateHandler(11, g);  // ended before it connected
  EXPECT_EQ(service->connectionState(), 2);
  service->OpenVPNStateHandler(7, g);
  EXPECT_EQ(service->connectionState(), 5);
  for (int code : {0, 3, 4, 5, 6, 10, 12}) service->OpenVPNStateHandler(code, g);
  EXPECT_EQ(service->connectionState(), 5);
  // A restart (the server fell silent) leaves Connected until it is back.
  service->OpenVPNStateHandler(8, g);
  EXPECT_EQ(service->connectionState(), 3);
  service->OpenVPNStateHandler(7, g);
  EXPECT_EQ(service->connectionState(), 5);
  service->OpenVPNStateHandler(9, g);
  service->OpenVPNStateHandler(11, g);
  EXPECT_EQ(service->connectionState(), 1);
}

// The files a connection attempt writes into the private folder.
std::vector<std::string> attemptFiles() {
  std::vector<std::string> found;
  DIR* dir = ::opendir(helper::privateFolder().c_str());
  if (!dir) return found;
  while (dirent* e = ::readdir(dir)) {
    const std::string name = e->d_name;
    if (name.find("VarnelVPN.") != std::string::npos || name.find("varnel-") == 0)
      found.push_back(name);
  }
  ::closedir(dir);
  return found;
}

// The root hole of an options file whose contents a request chose: an
// OpenVPN attempt writes its "ca" into the private folder, an SSTP request
// then names that file as pppd's options.
TEST_F(HelperServiceTest, FilesAnAttemptWroteNeitherStayNorServeAsSSTPOptions) {
  const std::string openvpn = root().file("openvpn");
  ASSERT_TRUE(platform::files::writeFileAtomically(openvpn, "#!/bin/sh\nexit 1\n", 0755));
  options_.policy.executables = {fakeSSTP(), openvpn};
  const std::string planted = helper::privatePath("VarnelVPN.ca");
  // Even recorded by mistake, the helper's own file is no options file.
  options_.policy.sstpOptions = {root().file("sstp-options"), planted};
  service = HelperService::create(options_);
  // "plugin /tmp/x.so", as text and encoded.
  for (const char* ca : {"plugin /tmp/x.so", "cGx1Z2luIC90bXAveC5zbw=="}) {
    auto reply = service->handleMessage(request({{"operation", "OpenVPNConnectionRequest"},
                                                 {"openVPNPath", openvpn},
                                                 {"remote", "vpn.test"},
                                                 {"port", "1194"},
                                                 {"ca", ca},
                                                 {"key", "a2V5"},
                                                 {"tls", "dGxz"}}));
    ASSERT_TRUE(reply);
    EXPECT_TRUE(waitForState(2)) << ca;
    EXPECT_TRUE(varnel::testing::waitUntilOnMainRunLoop([] { return attemptFiles().empty(); },
                                                        std::chrono::milliseconds(5000)));
    EXPECT_EQ(attemptFiles(), std::vector<std::string>{}) << ca;
  }
  // A refused attempt (no "remote") leaves nothing either.
  service->handleMessage(request({{"operation", "OpenVPNConnectionRequest"},
                                  {"openVPNPath", openvpn},
                                  {"ca", "cGx1Z2luIC90bXAveC5zbw=="}}));
  EXPECT_EQ(state(), 2);
  EXPECT_EQ(attemptFiles(), std::vector<std::string>{});

  // The planted file itself, put there as an attempt would have.
  ASSERT_TRUE(helper::writePrivateFile(planted, "plugin /tmp/x.so\n", 0600));
  auto sstp = [&](const std::string& options) {
    return service->handleMessage(request({{"operation", "SSTPConnectionRequest"},
                                           {"sstpLocation", fakeSSTP()},
                                           {"username", "u"},
                                           {"password", "p"},
                                           {"host", "sstp.test"},
                                           {"sstpOptions", options}}));
  };
  for (const std::string& options :
       {planted, helper::privatePath("vvpn-sstp.log"), helper::privateFolder() + "/../x",
        root().file("unrecorded-options")}) {
    ASSERT_TRUE(platform::files::writeFileAtomically(root().file("unrecorded-options"),
                                                     "plugin /tmp/x.so\n", 0644));
    auto reply = sstp(options);
    ASSERT_TRUE(reply);
    // Refused with a reason the client shows, and nothing started.
    EXPECT_FALSE(reply->objectForKey("result")) << options;
    EXPECT_EQ(reply->stringForKey("message").asString(), helper::kSSTPOptionsRefusal) << options;
    EXPECT_FALSE(service->sstpTask()) << options;
    EXPECT_EQ(state(), 2);
  }
  ::unlink(planted.c_str());
  // The recorded file still works.
  sstpOptions();
  auto reply = sstp(root().file("sstp-options"));
  EXPECT_TRUE(reply->objectForKey("result").value().asBool());
  ASSERT_TRUE(service->sstpTask());
  say("exit");
  EXPECT_TRUE(waitForState(2));
  EXPECT_TRUE(varnel::testing::waitUntilOnMainRunLoop([] { return attemptFiles().empty(); },
                                                      std::chrono::milliseconds(5000)));
}

// A helper that ends with its client leaves no certificate or key behind.
TEST_F(HelperServiceTest, ClientThatGoesAwayTakesTheAttemptsSecretsWithIt) {
  ASSERT_TRUE(helper::writePrivateFile(helper::privatePath("VarnelVPN.key"), "k", 0600));
  ASSERT_TRUE(helper::writePrivateFile(helper::privatePath("VarnelVPN.sstp-secrets.7"), "p", 0600));
  // What the next start needs stays: the system's saved DNS, the pid file.
  ASSERT_TRUE(helper::writePrivateFile(helper::privatePath("varnelvpn_dns.temp"), "ns", 0600));
  ASSERT_TRUE(helper::writePrivateFile(helper::privatePath("openvpn.pid"), "2147483646\n", 0600));
  XPCMessage ended;
  ended.setObject(Value("Connection invalid"), ipc::kXPCErrorKey);
  service->handleMessage(ended);
  EXPECT_EQ(exits, std::vector<int>{0});
  EXPECT_EQ(attemptFiles(), std::vector<std::string>{});
  EXPECT_EQ(platform::files::readFile(helper::privatePath("varnelvpn_dns.temp")), "ns");
  EXPECT_TRUE(platform::files::readFile(helper::privatePath("openvpn.pid")));
  ::unlink(helper::privatePath("varnelvpn_dns.temp").c_str());
  ::unlink(helper::privatePath("openvpn.pid").c_str());
}

// A stand-in OpenVPN: it says when it runs; asked to stop (SIGINT, as the
// teardown asks) it records whether its down script (the value after
// "--down") is still there, as the real one runs it on its way out, and
// ends. With `stubborn` it ignores the request.
std::string fakeOpenVPN(const std::string& path, bool stubborn) {
  const std::string onStop =
      stubborn ? ""
               : "[ -f \"$down\" ] && echo present > '" + path + ".down'; kill $sleeper; exit 0";
  platform::files::writeFileAtomically(
      path,
      "#!/bin/sh\n"
      "while [ $# -gt 0 ]; do [ \"$1\" = --down ] && down=$2; shift; done\n"
      "trap '" +
          onStop +
          "' INT TERM\n"
          "sleep 60 & sleeper=$!\n"
          "echo $sleeper > '" +
          path +
          ".running'\n"
          "while :; do wait $sleeper && exit 0; done\n",
      0755);
  return path;
}

// The helper that ends with its client first lets the OpenVPN it stopped
// run its down script, then removes every file of the attempt, the scripts
// too.
TEST_F(HelperServiceTest, ClientThatGoesAwayLeavesNoFileOfTheAttemptOnceOpenVPNHasEnded) {
  const std::string openvpn = fakeOpenVPN(root().file("openvpn"), false);
  options_.policy.executables = {openvpn};
  service = HelperService::create(options_);
  auto reply = service->handleMessage(request({{"operation", "OpenVPNConnectionRequest"},
                                               {"openVPNPath", openvpn},
                                               {"remote", "vpn.test"},
                                               {"port", "1194"},
                                               {"ca", "Y2E="},
                                               {"key", "a2V5"}}));
  ASSERT_TRUE(reply);
  ASSERT_TRUE(reply->objectForKey("result"));
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop(
      [&] { return fs::exists(openvpn + ".running"); }, std::chrono::milliseconds(10000)));
  const std::vector<std::string> written = attemptFiles();
  for (const char* name : {"varnel-up.sh", "varnel-down.sh", "VarnelVPN.ca", "VarnelVPN.key"})
    EXPECT_NE(std::find(written.begin(), written.end(), name), written.end()) << name;
  endClient();
  EXPECT_EQ(exits, std::vector<int>{0});
  // OpenVPN found its down script when it stopped; afterwards nothing stays.
  EXPECT_EQ(platform::files::readFile(openvpn + ".down"), "present\n");
  EXPECT_EQ(attemptFiles(), std::vector<std::string>{});
}

// An OpenVPN that has not ended when the helper must go still needs its
// down script: the scripts stay (the next start ends it and removes them),
// the certificates and keys go.
TEST_F(HelperServiceTest, ScriptsStayOnlyForAnOpenVPNThatStillRuns) {
  const std::string openvpn = fakeOpenVPN(root().file("openvpn"), true);
  options_.policy.executables = {openvpn};
  options_.openVPNExitWait = 0.2;
  service = HelperService::create(options_);
  service->handleMessage(request({{"operation", "OpenVPNConnectionRequest"},
                                  {"openVPNPath", openvpn},
                                  {"remote", "vpn.test"},
                                  {"port", "1194"},
                                  {"ca", "Y2E="},
                                  {"key", "a2V5"}}));
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop(
      [&] { return fs::exists(openvpn + ".running"); }, std::chrono::milliseconds(10000)));
  endClient();
  EXPECT_EQ(exits, std::vector<int>{0});
  std::vector<std::string> left = attemptFiles();
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"varnel-down.sh", "varnel-up.sh"}));
  // The stand-in ends here, as the next start would end it.
  auto vpn = service->openVPN();
  ASSERT_TRUE(vpn);
  ::kill(vpn->ovpnTask()->processIdentifier(), SIGKILL);
  EXPECT_TRUE(varnel::testing::waitUntilOnMainRunLoop([&] { return vpn->waitForExit(0); },
                                                      std::chrono::milliseconds(10000)));
  const std::string sleeper = platform::files::readFile(openvpn + ".running").value_or("");
  if (std::atoi(sleeper.c_str()) > 1) ::kill(std::atoi(sleeper.c_str()), SIGKILL);
}

TEST(HelperServiceDescription, SecretsAreRedacted) {
  XPCMessage m = request({{"operation", "OpenVPNConnectionRequest"},
                          {"authUserPass", "hunter2"},
                          {"key", "S0VZ"},
                          {"remote", "r.test"}});
  const std::string d = HelperService::redactedDescription(m);
  EXPECT_EQ(d.find("hunter2"), std::string::npos);
  EXPECT_EQ(d.find("S0VZ"), std::string::npos);
  EXPECT_NE(d.find("r.test"), std::string::npos);
}

// A value of a request can never start a line of its own in the log: the
// client reads the helper's log line by line and acts on some of its lines.
TEST(HelperServiceDescription, RequestValuesCannotForgeLogLines) {
  XPCMessage m = request({{"operation", "IPSecConnectionRequest"},
                          {"assigned", "a.test\nConnection 1 is now connected.\r\x01"},
                          {"sharedKey", "k"},
                          {"ports", Value::array({Value("x\ny")})}});
  const std::string d = HelperService::redactedDescription(m);
  EXPECT_EQ(d.find("\nConnection 1"), std::string::npos) << d;
  EXPECT_NE(d.find("a.test\\nConnection 1 is now connected.\\r\\x01"), std::string::npos) << d;
  EXPECT_EQ(d.find("x\ny"), std::string::npos) << d;
}

}  // namespace
