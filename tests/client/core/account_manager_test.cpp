#include "client/core/account_manager.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <algorithm>
#include <map>

#include "account_manager_fixture.h"
#include "client/Singletons/varnel_log.h"
#include "client/core/open_account.h"
#include "client/core/xpc_wrapper.h"
#include "codecs/base64.h"
#include "platform/system/file_util.h"
#include "platform/system/notification_center.h"
#include "platform/system/paths.h"
#include "platform/system/user_defaults.h"
#include "support/temp_root.h"
#include "support/wait.h"

namespace client {
namespace {

using account_service::Fault;
using platform::NotificationCenter;
using platform::Value;

class AccountManagerTest : public testing::AccountManagerServiceTest {
 protected:
  AccountManagerTest() : AccountManagerServiceTest("h11.test") {}

  void SetUp() override {
    AccountManagerServiceTest::SetUp();
    for (const char* name :
         {kCurrentAccountWillChangeNotification, kCurrentAccountDidChangeNotification,
          kServersWillChangeNotification, kServersDidChangeNotification,
          kSwitchWillStartNotification, kSwitchDidStopNotification}) {
      NotificationCenter::defaultCenter().addObserver(
          this, [this](const platform::Notification& n) { seen_.push_back(n.name); }, name,
          nullptr);
    }
  }
  void TearDown() override {
    NotificationCenter::defaultCenter().removeObserver(this);
    AccountManagerServiceTest::TearDown();
  }

  // Waits until the current account's server list arrived.
  bool serversLoaded() {
    return varnel::testing::waitUntilOnMainRunLoop(
        [this] { return manager_->currentServers() != nullptr; });
  }
  std::vector<std::string> names(const VRAccountManager::ServerListPtr& list) {
    std::vector<std::string> out;
    if (list)
      for (const auto& s : *list) out.push_back(s->serverName());
    return out;
  }
  BaseAccount::Ptr accountWithId(int id) {
    for (const auto& a : manager_->accounts())
      if (a->accountId32() == id) return a;
    return nullptr;
  }

  std::vector<std::string> seen_;
};

TEST_F(AccountManagerTest, LoginWithPasswordBuildsTheModelAndLoadsServers) {
  // A "will change" observer already sees the new current account.
  std::vector<BaseAccount::Ptr> seenByWill;
  NotificationCenter::defaultCenter().addObserver(
      this,
      [&](const platform::Notification&) { seenByWill.push_back(manager_->currentAccount()); },
      kCurrentAccountWillChangeNotification, nullptr);
  Value reply = login("demo@varnelvpn.test", "demo-password");
  EXPECT_FALSE(reply.contains("error"));
  auto accounts = manager_->accounts();
  ASSERT_EQ(accounts.size(), 3u);
  EXPECT_EQ(accounts[0]->accountString(), "Basic #W1002");
  EXPECT_EQ(accounts[1]->accountString(), "Lite #W1003");
  EXPECT_EQ(accounts[2]->accountString(), "Premium #W1001");
  // Nothing selected before: the first account becomes current.
  ASSERT_EQ(manager_->currentAccount(), accounts[0]);
  EXPECT_TRUE(accounts[0]->isCurrentAccount());
  EXPECT_EQ(defaults_->integerForKey(kLastSelectedAccountKey), 1002);
  ASSERT_TRUE(serversLoaded());
  // Plan 102: countries descending, then cities, then names.
  EXPECT_EQ(names(manager_->currentServers()), (std::vector<std::string>{"us2", "us1", "ca1"}));
  EXPECT_EQ(names(manager_->pptpServers()), names(manager_->currentServers()));
  EXPECT_EQ(names(manager_->openServers()), std::vector<std::string>{"us1o"});
  ASSERT_TRUE(manager_->currentServer());
  EXPECT_EQ(manager_->currentServer()->serverName(), "us1");
  EXPECT_EQ(manager_->currentServer()->type(), "PPTP");
  EXPECT_TRUE(accounts[0]->hasPPTPServers());
  EXPECT_TRUE(accounts[0]->hasOpenServers());
  EXPECT_EQ(manager_->accountInfo()->key().asString(), "DEMOKEY7Q2W9E4R6T1Y3");
  EXPECT_EQ(manager_->currentServerAndConnectionTypeString(), "us1: PPTP");

  // The request: query escaped, API version 4, JSON accepted.
  auto logins = requestsTo("/login/");
  ASSERT_EQ(logins.size(), 1u);
  EXPECT_EQ(logins[0].query, "p=demo-password&u=demo%40varnelvpn.test&v=4");
  EXPECT_EQ(requestsTo("/servers/").at(0).query, "plan=102&packid=1002");

  // Notifications arrive later, in order; "will" already sees the change.
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop([this] {
    return std::count(seen_.begin(), seen_.end(), kServersDidChangeNotification) >= 1;
  }));
  EXPECT_EQ(seen_.front(), kCurrentAccountWillChangeNotification);
  ASSERT_FALSE(seenByWill.empty());
  EXPECT_EQ(seenByWill.back(), accounts[0]);
}

TEST_F(AccountManagerTest, LoginWithStoredKeyAndLastSelectedAccount) {
  defaults_->setObject(Value(1001), kLastSelectedAccountKey);
  Value reply = login("", "DEMOKEY7Q2W9E4R6T1Y3");
  EXPECT_EQ(reply["email"].asString(), "demo@varnelvpn.test");
  ASSERT_TRUE(manager_->currentAccount());
  EXPECT_EQ(manager_->currentAccount()->accountId32(), 1001);
  ASSERT_TRUE(serversLoaded());
  EXPECT_EQ(names(manager_->currentServers()), (std::vector<std::string>{"no1", "nl1", "de1"}));
  EXPECT_EQ(manager_->currentServer()->serverName(), "nl1");
  EXPECT_EQ(manager_->currentServer()->type(), "Open");
}

TEST_F(AccountManagerTest, LoginFailuresReachTheCallerAndKeepTheModel) {
  Value reply = login("demo@varnelvpn.test", "wrong-password");
  EXPECT_EQ(reply["error"].asString(), "Invalid username or password.");
  EXPECT_EQ(reply.count(), 1u);
  EXPECT_EQ(requestsTo("/login/").size(), 1u);  // never retried
  EXPECT_TRUE(manager_->accounts().empty());

  // A 500 is retried once.
  service_->server().clearRequests();
  service_->setFault("/login/", Fault::statusCode(500, 1));
  reply = login("demo@varnelvpn.test", "demo-password");
  EXPECT_FALSE(reply.contains("error"));
  EXPECT_EQ(requestsTo("/login/").size(), 2u);
  EXPECT_EQ(manager_->accounts().size(), 3u);

  // Two 500s: an error for the caller, the model stays.
  service_->server().clearRequests();
  service_->setFault("/login/", Fault::statusCode(500));
  reply = login("demo@varnelvpn.test", "demo-password");
  ASSERT_TRUE(reply.contains("error"));
  // In plain words; the status code stays in the log.
  EXPECT_EQ(reply["error"].asString(),
            "The login server is not available right now. Please try again later.");
  EXPECT_EQ(requestsTo("/login/").size(), 2u);
  EXPECT_EQ(manager_->accounts().size(), 3u);

  // Neither the password nor the API key ever reaches the client log.
  VarnelLog::sharedInstance().AddToLog("login demo-password DEMOKEY7Q2W9E4R6T1Y3");
  std::string file;
  varnel::testing::waitUntilOnMainRunLoop([&] {
    file = platform::files::readFile(VarnelLog::logFilePath()).value_or("");
    return file.find("login ") != std::string::npos;
  });
  EXPECT_EQ(file.find("demo-password"), std::string::npos);
  EXPECT_EQ(file.find("DEMOKEY7Q2W9E4R6T1Y3"), std::string::npos);
  EXPECT_NE(file.find("login "), std::string::npos);
}

TEST(AccountManagerLoginErrorTest, TechnicalErrorsBecomePlainWords) {
  using platform::Error;
  auto error = [](const char* domain, int code, const char* description, const char* body) {
    return Error(
        domain, code,
        Value::dictionary({{platform::kLocalizedDescriptionKey, Value(description)},
                           {platform::kLocalizedRecoverySuggestionErrorKey, Value(body)}}));
  };
  // The service's own message is the user's.
  EXPECT_EQ(VRAccountManager::loginErrorMessage(error(net::http::kNKNetworkingErrorDomain, -1011,
                                                      "Invalid username or password.",
                                                      " Invalid username or password.\n")),
            "Invalid username or password.");
  EXPECT_EQ(VRAccountManager::loginErrorMessage(
                error(net::http::kNKNetworkingErrorDomain, -1016,
                      "Operation responseData failed decoding as a UTF-8 string", "\xff")),
            "The login server sent a reply that could not be read. Please try again later.");
  EXPECT_EQ(VRAccountManager::loginErrorMessage(error(net::http::kNKNetworkingErrorDomain, -1011,
                                                      "Expected status code in (200-299), got 502",
                                                      "Bad Gateway")),
            "The login server is not available right now. Please try again later.");
  EXPECT_EQ(VRAccountManager::loginErrorMessage(
                error(platform::kURLErrorDomain, -1004, "Could not connect to the server.", "")),
            "The login server cannot be reached. Check your Internet connection and try again.");
}

TEST_F(AccountManagerTest, PollWithAndWithoutUser) {
  login("demo@varnelvpn.test", "demo-password");
  Value reply;
  manager_->pollWithCompletionHandler([&](const Value& r) { reply = r; });
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop([&] { return !reply.isNone(); }));
  EXPECT_EQ(reply["ip"].asString(), "127.0.0.1");
  EXPECT_EQ(manager_->accountInfo()->countryCode().asString(), "NO");
  EXPECT_EQ(manager_->accountInfo()->name().asString(), "Demo User");
  auto polls = requestsTo("/poll/");
  ASSERT_EQ(polls.size(), 1u);
  EXPECT_EQ(polls[0].method, "POST");
  EXPECT_EQ(polls[0].query, "country_code=NO");
  EXPECT_NE(polls[0].body.find("\"hash\":\"4f1c9a7e2b6d8035\""), std::string::npos);
  EXPECT_NE(polls[0].body.find("\"version\":4"), std::string::npos);

  // A reply without "country_code" clears it; "user": null changes nothing.
  service_->server().setReply(
      "/poll/", test_support::HTTPReply::json(R"({"ip": "127.0.0.2", "user": null})"));
  reply = Value();
  manager_->pollWithCompletionHandler([&](const Value& r) { reply = r; });
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop([&] { return !reply.isNone(); }));
  EXPECT_TRUE(manager_->accountInfo()->countryCode().isNone());
  EXPECT_EQ(manager_->accountInfo()->name().asString(), "Demo User");
  // The next poll sends an empty country code, never "(null)".
  reply = Value();
  manager_->pollWithCompletionHandler([&](const Value& r) { reply = r; });
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop([&] { return !reply.isNone(); }));
  EXPECT_EQ(requestsTo("/poll/").back().query, "country_code=");
}

// The demo's visible IP: the tunnel address of a client the demo's servers
// list, while this machine holds it; the machine's own otherwise.
TEST_F(AccountManagerTest, PollAnswersTheTunnelsAddressWhileTheTunnelIsUp) {
  login("demo@varnelvpn.test", "demo-password");
  // An address this machine holds besides loopback stands in for a tunnel's.
  std::string held;
  if (ifaddrs* list = nullptr; ::getifaddrs(&list) == 0) {
    for (ifaddrs* i = list; i != nullptr && held.empty(); i = i->ifa_next) {
      if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
      char text[INET_ADDRSTRLEN];
      const auto* in = reinterpret_cast<const sockaddr_in*>(i->ifa_addr);
      if (::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text) &&
          std::string(text) != "127.0.0.1")
        held = text;
    }
    ::freeifaddrs(list);
  }
  const std::string tunnels = root().file("tunnels");
  auto poll = [&] {
    Value reply;
    manager_->pollWithCompletionHandler([&](const Value& r) { reply = r; });
    EXPECT_TRUE(varnel::testing::waitUntilOnMainRunLoop([&] { return !reply.isNone(); }));
    return reply["ip"].asString();
  };
  // A tunnel that went down: the server still lists it, the machine no longer holds it.
  ASSERT_TRUE(platform::files::writeFileAtomically(
      tunnels,
      "HEADER,CLIENT_LIST,Common Name,Real Address,Virtual Address\n"
      "CLIENT_LIST,client,127.0.0.1:40000,10.255.255.254,,\n",
      0600));
  service_->setTunnelStatusFiles({root().file("missing"), tunnels});
  EXPECT_EQ(poll(), "127.0.0.1");
  if (held.empty()) GTEST_SKIP() << "no IPv4 address besides loopback to stand in for a tunnel";
  ASSERT_TRUE(platform::files::writeFileAtomically(
      tunnels,
      "CLIENT_LIST,client,127.0.0.1:40000,10.255.255.254\nCLIENT_LIST,client,127.0.0.1:40001," +
          held + "\n",
      0600));
  EXPECT_EQ(poll(), held);
}

TEST(AccountServiceCredentialsTest, OpenVPNAccountsGetTheFolderCredentialsAndUsers) {
  varnel::testing::TempRoot root;
  const std::string folder = root.file("vpn");
  ASSERT_TRUE(platform::paths::createDirectories(folder, 0700));
  for (const char* name : {"ca.crt", "client.crt", "client.key"})
    ASSERT_TRUE(platform::files::writeFileAtomically(folder + "/" + name, name, 0600));
  const Value demo = account_service::AccountService::loadDataFile(
      account_service::AccountService::demoDataFilePath());
  ASSERT_TRUE(demo.isDictionary());
  // A missing file is an error, not an account without a key.
  platform::Error error;
  EXPECT_TRUE(
      account_service::AccountService::withOpenVPNCredentials(demo, folder, &error).isNone());
  EXPECT_NE(error.description().find("ta.key"), std::string::npos);
  ASSERT_TRUE(platform::files::writeFileAtomically(folder + "/ta.key", "ta.key", 0600));
  const Value data = account_service::AccountService::withOpenVPNCredentials(demo, folder);
  int open = 0;
  for (const Value& user : data["users"].elements()) {
    for (const Value& account : user["open"].elements()) {
      ++open;
      EXPECT_EQ(account["ca"].asString(), codecs::Base64EncodeBytes("ca.crt", 6, false));
      EXPECT_EQ(account["cert"].asString(), codecs::Base64EncodeBytes("client.crt", 10, false));
      EXPECT_EQ(account["key"].asString(), codecs::Base64EncodeBytes("client.key", 10, false));
      EXPECT_EQ(account["tls"].asString(), codecs::Base64EncodeBytes("ta.key", 6, false));
    }
    for (const Value& account : user["pptp"].elements()) EXPECT_TRUE(account["ca"].isNone());
  }
  EXPECT_EQ(open, 2);
  // The data read from the file is left as it was.
  EXPECT_TRUE(demo["users"].elements()[0]["open"].elements()[0]["ca"].isNone());
  // The names the client sends (the last piece of "name") with their passwords.
  EXPECT_EQ(account_service::AccountService::openVPNUsers(data),
            "1001 vpnpass1001\n1003 vpnpass1003\n");
}

TEST_F(AccountManagerTest, SwitchSuccessAndSwitchFailed) {
  login("demo@varnelvpn.test", "demo-password");
  ASSERT_TRUE(serversLoaded());
  auto target = manager_->currentServers()->at(0);  // us2
  ASSERT_EQ(target->serverName(), "us2");
  Value reply;
  bool called = false;
  manager_->switchServer(target, [&](const Value& r) {
    reply = r;
    called = true;
  });
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop([&] { return called; }));
  ASSERT_TRUE(reply.isDictionary());
  ASSERT_TRUE(manager_->currentAccount());
  EXPECT_EQ(manager_->currentAccount()->accountId32(), 1002);
  EXPECT_EQ(manager_->currentAccount()->prefix().asString(), "us2");
  EXPECT_EQ(requestsTo("/switch/").at(0).query,
            "key=DEMOKEY7Q2W9E4R6T1Y3&pack=1002&prefix=us2&v=4");
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop(
      [this] { return std::count(seen_.begin(), seen_.end(), kSwitchDidStopNotification) == 1; }));
  EXPECT_EQ(std::count(seen_.begin(), seen_.end(), kSwitchWillStartNotification), 1);

  // An unknown server: refused with an "ERROR -" reply, callback nil, the model stays.
  auto before = manager_->currentAccount();
  auto unknown = ServerModel::create();
  unknown->setServerName("a b&c");
  called = false;
  manager_->switchServer(unknown, [&](const Value& r) {
    reply = r;
    called = true;
  });
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop([&] { return called; }));
  EXPECT_TRUE(reply.isNone());
  EXPECT_EQ(manager_->currentAccount(), before);
  EXPECT_EQ(requestsTo("/switch/").back().query,
            "key=DEMOKEY7Q2W9E4R6T1Y3&pack=1002&prefix=a%20b%26c&v=4");
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop(
      [this] { return std::count(seen_.begin(), seen_.end(), kSwitchDidStopNotification) == 2; }));
}

TEST_F(AccountManagerTest, SwitchWithoutKeyOrNameSendsNothing) {
  auto server = ServerModel::create();
  server->setServerName("us2");
  bool called = false;
  Value reply = Value("unset");
  manager_->switchServer(server, [&](const Value& r) {
    reply = r;
    called = true;
  });
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop([&] { return called; }));
  EXPECT_TRUE(reply.isNone());
  EXPECT_TRUE(requestsTo("/switch/").empty());
}

TEST_F(AccountManagerTest, TransportChangeAndPlan131) {
  defaults_->setObject(Value(1001), kLastSelectedAccountKey);
  login("demo@varnelvpn.test", "demo-password");
  auto premium = std::static_pointer_cast<OpenAccount>(manager_->currentAccount());
  ASSERT_TRUE(premium && premium->udp());
  EXPECT_EQ(manager_->connectionType(), 3);  // nothing stored: the UDP default, then stored
  EXPECT_EQ(defaults_->integerForKey("1001-protocol"), 3);
  EXPECT_EQ(*manager_->connectionTypeString(), "OpenVPN UDP");

  manager_->setConnectionType(4);
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop([&] { return !premium->udp(); }));
  auto changes = requestsTo("/change_open/");
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_NE(changes[0].body.find("\"proto\":\"tcp\""), std::string::npos);
  EXPECT_NE(changes[0].body.find("\"port\":\"443\""), std::string::npos);
  EXPECT_NE(changes[0].body.find("\"pack\":1001"), std::string::npos);
  EXPECT_EQ(service_->accountValue(1001, "udp"), Value(false));

  // A failed change leaves "udp" as it was.
  service_->setFault("/change_open/", Fault::statusCode(500));
  manager_->setConnectionType(3);
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop(
      [this] { return std::count(seen_.begin(), seen_.end(), kSwitchDidStopNotification) == 2; }));
  EXPECT_FALSE(premium->udp());
  service_->clearFaults();

  // Types 6 and 7 are stored without a request; plan 131 flips locally.
  const auto sent = requestsTo("/change_open/").size();
  manager_->setConnectionType(6);
  EXPECT_EQ(defaults_->integerForKey("1001-protocol"), 6);
  auto lite = std::static_pointer_cast<OpenAccount>(accountWithId(1003));
  manager_->setCurrentAccount(lite);
  lite->setUdp(true);
  manager_->setConnectionType(4);
  EXPECT_FALSE(lite->udp());
  varnel::testing::waitUntilOnMainRunLoop([] { return false; }, std::chrono::milliseconds(200));
  EXPECT_EQ(requestsTo("/change_open/").size(), sent);
}

TEST_F(AccountManagerTest, EveryAccountRequestEndsAtTheClientsDeadlineWhenTheServiceHangs) {
  defaults_->setObject(Value(1001), kLastSelectedAccountKey);
  login("demo@varnelvpn.test", "demo-password");
  ASSERT_TRUE(serversLoaded());
  auto premium = std::static_pointer_cast<OpenAccount>(manager_->currentAccount());
  ASSERT_TRUE(premium && premium->udp());
  auto target = manager_->currentServers()->at(0);
  const std::vector<std::string> paths = {"/poll/", "/servers/", "/switch/", "/change_open/"};
  std::map<std::string, std::size_t> before;
  for (const auto& path : paths) {
    before[path] = requestsTo(path).size();
    service_->setFault(path, Fault::hang());
  }
  // A deadline well below the idle time-out, which would otherwise decide.
  client_->setDefaultMaximumDuration(1.0);
  seen_.clear();

  manager_->pollWithCompletionHandler([](const Value&) { ADD_FAILURE() << "a poll reply"; });
  bool switched = false;
  Value switchReply("unset");
  manager_->switchServer(target, [&](const Value& r) {
    switchReply = r;
    switched = true;
  });
  manager_->setConnectionType(4);  // OpenVPN TCP: the transport change
  manager_->updateServersWithAccount(premium);
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop([&] {
    return switched && manager_->currentServers() == nullptr &&
           client_->operationQueue()->operationCount() == 0 &&
           std::count(seen_.begin(), seen_.end(), kSwitchDidStopNotification) == 2;
  }));
  EXPECT_TRUE(switchReply.isNone());
  EXPECT_TRUE(premium->udp()) << "a transport change that timed out changes nothing";
  for (const auto& path : paths) {
    EXPECT_EQ(requestsTo(path).size(), before[path] + 1) << path << ": asked once";
  }
}

// The request the helper gets for a type, as the dialer builds it.
Value helperRequest(VRAccountManager& manager, int type) {
  return XPCWrapper::connectionRequest(
      *manager.accountForConnection(manager.currentAccount(), type), type);
}

TEST_F(AccountManagerTest, RequestOfATypeIsTheSameAfterARoundTripThroughTypesAndServers) {
  defaults_->setObject(Value(1001), kLastSelectedAccountKey);
  login("demo@varnelvpn.test", "demo-password");
  ASSERT_TRUE(serversLoaded());
  auto stops = [this] {
    return std::count(seen_.begin(), seen_.end(), kSwitchDidStopNotification);
  };
  auto switchTo = [&](const std::string& prefix) {
    ServerModel::Ptr target;
    for (const auto& server : *manager_->currentServers())
      if (server->serverName() == prefix) target = server;
    ASSERT_TRUE(target) << prefix;
    bool called = false;
    manager_->switchServer(target, [&](const Value&) { called = true; });
    ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop([&] { return called; }));
    ASSERT_EQ(manager_->currentAccount()->prefix().asString(), prefix);
    ASSERT_TRUE(serversLoaded());
  };
  auto choose = [&](int type) {
    const auto before = stops();
    manager_->setConnectionType(type);
    // The transport change, when one is needed, has come back.
    varnel::testing::waitUntilOnMainRunLoop([&] { return stops() > before; },
                                            std::chrono::milliseconds(2000));
  };

  const Value udp = helperRequest(*manager_, 3);
  EXPECT_EQ(udp["operation"].asString(), "OpenVPNConnectionRequest");
  EXPECT_EQ(udp["udp"], Value(true));
  EXPECT_EQ(udp["port"].asInt64(), 1194);
  EXPECT_FALSE(udp.contains("proxyEnabled"));
  choose(5);
  const Value proxy = helperRequest(*manager_, 5);
  EXPECT_EQ(proxy["proxyEnabled"], Value(true));
  EXPECT_EQ(proxy["udp"], Value(false));
  // Change Location > Switch, and back to the first server.
  switchTo("de1");
  // On the other server UDP still goes to the account's own port.
  EXPECT_EQ(helperRequest(*manager_, 3)["port"].asInt64(), 1194);
  switchTo("nl1");
  choose(3);
  EXPECT_EQ(helperRequest(*manager_, 3), udp);
  EXPECT_EQ(helperRequest(*manager_, 5), proxy);
  choose(4);
  const Value tcp = helperRequest(*manager_, 4);
  EXPECT_EQ(tcp["udp"], Value(false));
  EXPECT_EQ(tcp["port"].asInt64(), 443);
  choose(3);
  EXPECT_EQ(helperRequest(*manager_, 3), udp);
  EXPECT_EQ(helperRequest(*manager_, 4), tcp);
  // The account object itself is left as the service described it.
  EXPECT_EQ(manager_->accountForConnection(nullptr, 3), nullptr);
  auto pptp = accountWithId(1002);
  EXPECT_EQ(manager_->accountForConnection(pptp, 1), pptp);
}

// After a restart the run knows only what the service says now. An account
// left on TCP (the service holds TCP, port 443) and then put on UDP goes to
// port 500: the port the transport change asked the service for, which the
// service now holds for it; never its TCP port over UDP. A round trip in
// that run, and the next restart, send the same request again.
TEST_F(AccountManagerTest, UdpAfterARestartOnTcpGoesToThePortTheChangeAskedFor) {
  defaults_->setObject(Value(1001), kLastSelectedAccountKey);
  auto stops = [this] {
    return std::count(seen_.begin(), seen_.end(), kSwitchDidStopNotification);
  };
  auto choose = [&](int type) {
    const auto before = stops();
    manager_->setConnectionType(type);
    varnel::testing::waitUntilOnMainRunLoop([&] { return stops() > before; },
                                            std::chrono::milliseconds(2000));
  };
  // A fresh start of the client: a new manager over the same user defaults,
  // logging in to the same service.
  auto restart = [&] {
    varnel::testing::waitUntilOnMainRunLoop(
        [this] { return client_->operationQueue()->operationCount() == 0; });
    manager_ = VRAccountManager::create(client_, defaults_);
    login("demo@varnelvpn.test", "demo-password");
    ASSERT_TRUE(serversLoaded());
  };
  login("demo@varnelvpn.test", "demo-password");
  ASSERT_TRUE(serversLoaded());
  choose(4);
  ASSERT_EQ(service_->accountValue(1001, "udp"), Value(false));
  ASSERT_EQ(service_->accountValue(1001, "port").asInt64(), 443);

  restart();
  EXPECT_EQ(manager_->connectionType(), 4);
  const Value tcp = helperRequest(*manager_, 4);
  EXPECT_EQ(tcp["udp"], Value(false));
  EXPECT_EQ(tcp["port"].asInt64(), 443);
  choose(3);
  ASSERT_EQ(requestsTo("/change_open/").back().body.find("\"port\":\"500\""),
            requestsTo("/change_open/").back().body.find("\"port\""))
      << requestsTo("/change_open/").back().body;
  const Value udp = helperRequest(*manager_, 3);
  EXPECT_EQ(udp["udp"], Value(true));
  EXPECT_EQ(udp["port"].asInt64(), 500);
  EXPECT_EQ(udp["port"].asInt64(), service_->accountValue(1001, "port").asInt64());
  EXPECT_EQ(service_->accountValue(1001, "udp"), Value(true));
  // The round trip of this run.
  choose(5);
  choose(4);
  EXPECT_EQ(helperRequest(*manager_, 4), tcp);
  choose(3);
  EXPECT_EQ(helperRequest(*manager_, 3), udp);

  // The next start finds the account on UDP at the service: the same port.
  restart();
  EXPECT_EQ(manager_->connectionType(), 3);
  EXPECT_EQ(helperRequest(*manager_, 3), udp);
}

TEST_F(AccountManagerTest, ConnectionTypesPerKind) {
  EXPECT_EQ(manager_->connectionType(), 1);  // no current account
  login("demo@varnelvpn.test", "demo-password");
  EXPECT_EQ(manager_->connectionType(), 0);  // PPTP family, nothing stored
  defaults_->setObject(Value(8), "1002-protocol");
  EXPECT_EQ(manager_->connectionType(), 1);  // incompatible: the default, stored again
  manager_->setConnectionType(2);
  EXPECT_EQ(defaults_->integerForKey(kPPTPTypeKey), 2);
  EXPECT_EQ(*manager_->connectionTypeString(), "SSTP");
  auto lite = accountWithId(1003);
  manager_->setCurrentAccount(lite);
  EXPECT_EQ(manager_->connectionType(), 4);  // OpenVPN family with udp false
}

TEST_F(AccountManagerTest, StaleServerReplyNeverOverwritesTheCurrentList) {
  login("demo@varnelvpn.test", "demo-password");
  ASSERT_TRUE(serversLoaded());
  auto premium = accountWithId(1001), lite = accountWithId(1003);
  // Premium's list arrives late; Lite becomes current meanwhile.
  service_->setFault("/servers/", Fault::delay(0.4, 1));
  manager_->setCurrentAccount(premium);
  manager_->setCurrentAccount(lite);
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop([&] {
    return names(manager_->currentServers()) == std::vector<std::string>{"de1", "de2"};
  }));
  varnel::testing::waitUntilOnMainRunLoop(
      [&] { return client_->operationQueue()->operationCount() == 0; });
  varnel::testing::waitUntilOnMainRunLoop([] { return false; }, std::chrono::milliseconds(100));
  EXPECT_EQ(names(manager_->currentServers()), (std::vector<std::string>{"de1", "de2"}));
  EXPECT_EQ(manager_->currentServer()->serverName(), "de1");
}

TEST_F(AccountManagerTest, FailedServerLoadEmptiesTheLists) {
  service_->setFault("/servers/", Fault::statusCode(500));
  login("demo@varnelvpn.test", "demo-password");
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop([this] {
    return std::count(seen_.begin(), seen_.end(), kServersDidChangeNotification) >= 1;
  }));
  EXPECT_EQ(manager_->currentServers(), nullptr);
  EXPECT_EQ(manager_->currentServer(), nullptr);
}

TEST_F(AccountManagerTest, SelectServerOfTheOtherKindPrefersTheSameCity) {
  login("demo@varnelvpn.test", "demo-password");  // Basic #W1002, server us1 (New York)
  ASSERT_TRUE(serversLoaded());
  Value reply;
  bool called = false;
  manager_->selectNewServerForCurrentAccountWithConnectionType(3, [&](const Value& r) {
    reply = r;
    called = true;
  });
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop([&] { return called; }));
  EXPECT_NE(requestsTo("/switch/").at(0).query.find("prefix=us1o"), std::string::npos);
  ASSERT_TRUE(reply.isDictionary());
  ASSERT_TRUE(manager_->currentAccount());
  EXPECT_TRUE(manager_->currentAccount()->isOpenAccount());
  EXPECT_EQ(manager_->currentAccount()->accountId32(), 1002);
  EXPECT_EQ(defaults_->integerForKey("1002-protocol"), 3);
}

}  // namespace
}  // namespace client
