#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "client/core/account_info.h"
#include "client/core/available_servers.h"
#include "client/core/base_account.h"
#include "client/core/city.h"
#include "client/core/open_account.h"
#include "client/core/pptp_account.h"
#include "client/core/server.h"
#include "codecs/json_decoder.h"
#include "support/temp_root.h"

namespace client {
namespace {

using platform::Value;

Value json(const std::string& text) { return codecs::JSONDecoder::decoder()->objectWithText(text); }

const char* kOpenJSON = R"({
  "id": 42, "user_id": 7, "plan_id": 131, "plan_name": "Basic", "notes": "home",
  "prefix": "nl1", "active": true, "assigned": "10.0.0.1", "city": "Amsterdam",
  "country": "NL", "auth": "SHA1", "auth_user_pass": "u p", "ca": "Q0E=", "cert": "Q0VSVA==",
  "cipher": "AES-256-CBC", "fragment": 1300, "key": "S0VZ", "lzo": true, "mss": 1200,
  "name": "vpn_user_55", "port": 1194, "proxy_ip": "127.0.0.1", "proxy_port": "8080",
  "remote": "nl1.example.net", "shared_key": "secret", "tls": "VExT", "tun_mtu": 1500,
  "udp": true, "scramble": "xor", "scramble_word": "word", "ipsec_hostname": "h",
  "ipsec_username": "u", "unknown_key": [1, 2],
  "cities": [{"country": "NL", "latitude": "52.37", "longitude": 4.89, "name": "Amsterdam",
              "protos": "open"}, {"country": "DE", "name": "Berlin", "extra": 1}]
})";

TEST(AccountModelTest, OpenAccountFromServiceDictionary) {
  OpenAccount::Ptr a = OpenAccount::instanceFromDictionary(json(kOpenJSON));
  EXPECT_EQ(a->accountId().asInt64(), 42);
  EXPECT_EQ(a->userId().asInt64(), 7);
  EXPECT_EQ(a->planId().asInt64(), 131);
  EXPECT_EQ(a->planName().asString(), "Basic");
  EXPECT_TRUE(a->active());
  EXPECT_EQ(a->authUserPass().asString(), "u p");
  EXPECT_EQ(a->proxyIp().asString(), "127.0.0.1");
  EXPECT_EQ(a->proxyPort().asInt64(), 8080);  // a decimal string becomes the number
  EXPECT_TRUE(a->proxyPort().isNumber());
  EXPECT_EQ(a->sharedKey().asString(), "secret");
  EXPECT_EQ(a->tunMtu().asInt64(), 1500);
  EXPECT_EQ(a->scrambleWord().asString(), "word");
  EXPECT_EQ(a->ipsecHostname().asString(), "h");
  EXPECT_TRUE(a->udp());
  EXPECT_TRUE(a->lzo());
  ASSERT_TRUE(a->cities().has_value());
  ASSERT_EQ(a->cities()->size(), 2u);
  EXPECT_DOUBLE_EQ((*a->cities())[0]->latitude().asDouble(), 52.37);
  EXPECT_EQ((*a->cities())[1]->generateFullName(), "DE - Berlin");
  EXPECT_EQ(a->accountType(), 2);
  EXPECT_TRUE(a->isOpenAccount());
  EXPECT_FALSE(a->isPPTPAccount());
  EXPECT_EQ(a->protocolString(), "open");
}

TEST(AccountModelTest, AccountDictionaryKeysAndKinds) {
  OpenAccount::Ptr a = OpenAccount::instanceFromDictionary(json(kOpenJSON));
  Value d = a->dictionaryRepresentation();
  for (const char* key :
       {"accountId", "userId",   "planId",      "planName", "notes",     "prefix",       "assigned",
        "active",    "cities",   "city",        "country",  "auth",      "authUserPass", "ca",
        "cert",      "cipher",   "fragment",    "key",      "lzo",       "mss",          "name",
        "port",      "proxyIp",  "proxyPort",   "remote",   "sharedKey", "tls",          "tunMtu",
        "udp",       "scramble", "scrambleWord"}) {
    EXPECT_TRUE(d.contains(key)) << key;
  }
  EXPECT_EQ(d.count(), 31u);
  EXPECT_FALSE(d.contains("ipsecHostname"));
  EXPECT_FALSE(d.contains("ipsecUsername"));
  EXPECT_FALSE(d.contains("hasOpenServers"));
  EXPECT_TRUE(d["active"].isBool());
  EXPECT_TRUE(d["udp"].isBool());
  EXPECT_TRUE(d["port"].isInt());
  EXPECT_TRUE(d["ca"].isString());
  ASSERT_TRUE(d["cities"].isArray());
  EXPECT_EQ(d["cities"][0]["name"].asString(), "Amsterdam");

  // Unset values are left out, the BOOL keys are always there.
  OpenAccount::Ptr empty = OpenAccount::instanceFromDictionary(Value::dictionary());
  Value e = empty->dictionaryRepresentation();
  EXPECT_EQ(e.count(), 3u);
  EXPECT_EQ(e["active"], Value(false));
  EXPECT_EQ(e["lzo"], Value(false));
  EXPECT_EQ(e["udp"], Value(false));

  PPTPAccount::Ptr p = PPTPAccount::instanceFromDictionary(
      json(R"({"id": 1, "host": "h", "ip": "1.2.3.4", "ipsec": "s", "password": "pw",
               "username": "u", "proxy_ip": "ignored", "cities": "not an array"})"));
  Value pd = p->dictionaryRepresentation();
  EXPECT_EQ(pd["ip"].asString(), "1.2.3.4");
  EXPECT_EQ(pd["password"].asString(), "pw");
  EXPECT_FALSE(pd.contains("proxyIp"));
  EXPECT_FALSE(pd.contains("cities"));
  EXPECT_FALSE(p->cities().has_value());
}

TEST(AccountModelTest, ArchiveRoundTripKeepsPropertiesAndClearsFlags) {
  OpenAccount::Ptr a = OpenAccount::instanceFromDictionary(json(kOpenJSON));
  a->setIsCurrentAccount(true);
  a->setHasOpenServers(true);
  Value archive = a->archive();
  EXPECT_FALSE(archive.contains("ipsecHostname"));
  BaseAccount::Ptr back = BaseAccount::unarchive(archive);
  ASSERT_TRUE(back);
  ASSERT_TRUE(back->isOpenAccount());
  EXPECT_FALSE(back->isCurrentAccount());
  EXPECT_FALSE(back->hasOpenServers());
  EXPECT_EQ(back->dictionaryRepresentation(), a->dictionaryRepresentation());
  auto open = std::static_pointer_cast<OpenAccount>(back);
  EXPECT_TRUE(open->ipsecHostname().isNone());

  PPTPAccount::Ptr p =
      PPTPAccount::instanceFromDictionary(json(R"({"id": 3, "password": "pw", "active": 1})"));
  BaseAccount::Ptr pb = BaseAccount::unarchive(p->archive());
  ASSERT_TRUE(pb && pb->isPPTPAccount());
  EXPECT_EQ(pb->dictionaryRepresentation(), p->dictionaryRepresentation());
  EXPECT_TRUE(pb->active());

  EXPECT_EQ(BaseAccount::unarchive(json(R"({"$class": "Evil", "accountId": 1})")), nullptr);
  EXPECT_EQ(BaseAccount::unarchive(Value("x")), nullptr);
  City::Ptr c = City::unarchive((*a->cities())[0]->archive());
  ASSERT_TRUE(c);
  EXPECT_EQ(c->dictionaryRepresentation(), (*a->cities())[0]->dictionaryRepresentation());
}

TEST(AccountModelTest, DisplayStrings) {
  auto a = PPTPAccount::instanceFromDictionary(json(R"({"id": 42, "plan_name": "Basic"})"));
  EXPECT_EQ(a->accountString(), "Basic #W42");
  a->setNotes("h");
  EXPECT_EQ(a->accountLongString(), "Basic #W42");
  a->setNotes("\xC3\xA9");  // one character, two bytes
  EXPECT_EQ(a->accountLongString(), "Basic #W42");
  a->setNotes("home");
  EXPECT_EQ(a->accountLongString(), "Basic #W42 (home)");
  a->setCity("Oslo");
  a->setCountry("Norway");
  EXPECT_EQ(a->countryString(), "Oslo, Norway");
  EXPECT_EQ(a->generateLocationName(), "Norway - Oslo");
  auto none = std::make_shared<BaseAccount>();
  EXPECT_EQ(none->accountString(), "(null) #W(null)");
}

TEST(AccountModelTest, ConnectionTypesPerKind) {
  auto open = OpenAccount::instanceFromDictionary(json(R"({"udp": false})"));
  EXPECT_EQ(open->defaultConnectionTypeForAccountType(), 4);
  open->setUdp(true);
  EXPECT_EQ(open->defaultConnectionTypeForAccountType(), 3);
  auto pptp = PPTPAccount::instanceFromDictionary(Value::dictionary());
  EXPECT_EQ(pptp->defaultConnectionTypeForAccountType(), 1);
  BaseAccount base;
  for (int t = 0; t <= 8; ++t) {
    EXPECT_EQ(pptp->isCompatibleConnectionType(t), t <= 2) << t;
    EXPECT_EQ(open->isCompatibleConnectionType(t), t >= 3 && t <= 7) << t;
    EXPECT_FALSE(base.isCompatibleConnectionType(t));
  }
  EXPECT_EQ(base.accountType(), 0);
  EXPECT_EQ(base.defaultConnectionTypeForAccountType(), 1);
}

TEST(AccountModelTest, CityAndServerIgnoreNonDictionaries) {
  EXPECT_EQ(City::instanceFromDictionary(Value("x"))->dictionaryRepresentation().count(), 0u);
  auto s = Server::instanceFromDictionary(
      json(R"({"address": "1.2.3.4", "distance": 12.5, "latitude": 1, "longitude": 2, "x": 1})"));
  EXPECT_EQ(s->address().asString(), "1.2.3.4");
  EXPECT_DOUBLE_EQ(s->distance().asDouble(), 12.5);
  EXPECT_TRUE(Server::instanceFromDictionary(Value::array())->address().isNone());
  auto a = std::make_shared<OpenAccount>();
  a->setAttributesFromDictionary(Value());  // nil: nothing happens
  EXPECT_TRUE(a->accountId().isNone());
}

class AccountInfoTest : public varnel::testing::TempRootTest {};

TEST_F(AccountInfoTest, ReplyBuildsProfileAndSortedAccounts) {
  const char* reply = R"({
    "success": true, "active": 1, "cities": true, "balance": {"usd": 3}, "city": "Oslo",
    "country_code": "NO", "country_name": "Norway", "email": "a@b.c", "hash": "H", "id": 99,
    "key": "K", "monthly": 5, "name": "N", "osx_version": "1.2", "osx_version_beta": "1.3",
    "win_version": "2", "win_version_beta": "3", "remote": "r", "servers": [1], "switches": 4,
    "news": {"text": "hello", "url": "https://x", "warning": true, "other": 1},
    "pptp": [{"id": 5, "plan_name": "Zeta"}, {"id": 6, "plan_name": "Alpha"}],
    "open": [{"id": 7, "plan_name": "Mid"}], "unknown": 1})";
  AccountInfo info;
  info.setAttributesFromDictionary(json(reply));
  EXPECT_TRUE(info.success());
  EXPECT_TRUE(info.active());
  EXPECT_EQ(info.countryCode().asString(), "NO");
  EXPECT_EQ(info.countryName().asString(), "Norway");
  EXPECT_EQ(info.accountHash().asString(), "H");
  EXPECT_EQ(info.accountInfoId().asInt64(), 99);
  EXPECT_EQ(info.osxVersionBeta().asString(), "1.3");
  EXPECT_EQ(info.winVersion().asString(), "2");
  EXPECT_EQ(info.balance()["usd"].asInt64(), 3);
  EXPECT_EQ(info.switches().asInt64(), 4);
  ASSERT_TRUE(info.news());
  EXPECT_EQ(info.news()->text().asString(), "hello");
  EXPECT_TRUE(info.news()->warning());
  ASSERT_TRUE(info.accounts());
  ASSERT_EQ(info.accounts()->size(), 3u);
  EXPECT_EQ((*info.accounts())[0]->accountString(), "Alpha #W6");
  EXPECT_EQ((*info.accounts())[1]->accountString(), "Mid #W7");
  EXPECT_TRUE((*info.accounts())[1]->isOpenAccount());
  EXPECT_EQ((*info.accounts())[2]->accountString(), "Zeta #W5");
  EXPECT_EQ(info.generateAccountDictionary().size(), 3u);

  // The same reply with the arrays in the other order gives the same order.
  AccountInfo swapped;
  swapped.setAttributesFromDictionary(json(R"({"open": [{"id": 7, "plan_name": "Mid"}],
               "pptp": [{"id": 5, "plan_name": "Zeta"}, {"id": 6, "plan_name": "Alpha"}]})"));
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ((*swapped.accounts())[i]->accountString(), (*info.accounts())[i]->accountString());
  }
}

TEST_F(AccountInfoTest, AccountsNilOrEmptyAndNewsKinds) {
  AccountInfo empty;
  empty.setAttributesFromDictionary(Value::dictionary());
  EXPECT_FALSE(empty.accounts().has_value());
  AccountInfo other;
  other.setAttributesFromDictionary(json(R"({"email": "x", "news": "text", "open": "nope"})"));
  ASSERT_TRUE(other.accounts().has_value());
  EXPECT_TRUE(other.accounts()->empty());
  EXPECT_FALSE(other.news());
}

TEST_F(AccountInfoTest, ConfigFolderIsEmptiedOnEveryReply) {
  namespace fs = std::filesystem;
  const fs::path config = AccountInfo::configFolder();
  fs::create_directories(config / "sub");
  std::ofstream(config / "old.ovpn") << "secret";
  AccountInfo info;
  info.setAttributesFromDictionary(json(R"({"key": "K"})"));
  ASSERT_TRUE(fs::is_directory(config));
  EXPECT_TRUE(fs::is_empty(config));
  EXPECT_EQ(fs::status(config).permissions() & fs::perms::all, fs::perms::owner_all);
}

TEST(ServerListTest, ListsAndUnknownKeys) {
  auto servers = AvailableServers::instanceFromDictionary(
      json(R"({"open": "not a list", "pptp": [{"city": "Oslo", "country": "NO", "prefix": "no1",
               "static": true, "bogus": 3}, 5]})"));
  EXPECT_FALSE(servers->open().has_value());
  ASSERT_TRUE(servers->pptp().has_value());
  ASSERT_EQ(servers->pptp()->size(), 2u);
  const auto& first = (*servers->pptp())[0];
  EXPECT_EQ(first->prefix().asString(), "no1");
  EXPECT_EQ(first->city().asString(), "Oslo");
  EXPECT_TRUE(first->staticserv());
  EXPECT_TRUE((*servers->pptp())[1]->prefix().isNone());
  auto none = AvailableServers::instanceFromDictionary(Value::array());
  EXPECT_FALSE(none->open() || none->pptp());
}

}  // namespace
}  // namespace client
