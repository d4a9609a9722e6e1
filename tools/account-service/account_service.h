// AccountService: a local stand-in of the provider's account service, for
// tests and the demo run. It serves, on 127.0.0.1 (HTTPS, or plain HTTP),
// every request the client makes:
//   GET  /ping/                                   {"success": true}
//   GET  /login/?u=&p=&v=                         the login reply (user name and
//                                                 password, or an empty user name
//                                                 and the API key as password)
//   POST /poll/?country_code=   {hash,key,version} {"success", "country_code", "ip", "user"};
//                                                 "ip" is the visible address: the tunnel
//                                                 address of a connected client of a demo
//                                                 OpenVPN server (see setTunnelStatusFiles)
//                                                 when this machine holds it, else 127.0.0.1
//   GET  /servers/?plan=&packid=                  {"open": [...], "pptp": [...]} of the plan
//   GET  /switch/?key=&pack=&prefix=&v=           the login reply after the switch
//   POST /change_open/          {key,pack,proto,port} {"success": true}; sets "udp"
//   GET  /mac_v2.xml                              the update feed
// from a JSON data file of users (e-mail, password, API key, poll hash,
// profile and their "open" and "pptp" accounts) and plans (the servers each
// plan may use). Every refusal is a 4xx status with an "ERROR - ..." text
// body: bad credentials (401), bad keys (403), unknown plans, accounts and
// servers (404, also a switch to a server the account's plan lacks), bad
// parameters (400); unknown paths get 404.
//
// Faults can be scripted per path for the client's error handling: a
// status (500), an "ERROR -" text (status 400), a login-style reply that
// carries "error" (status 200), malformed JSON, an empty object, a delay or
// a reply that never comes; each for a number of requests or for ever.
//
// It is built on the loopback server of tests/support (HTTPTestServer), so
// every request is also recorded for tests to inspect.
//
// Thread safety: every member may be called from any thread; requests are
// served on the server's threads under one lock. Starting a service sets
// SIGPIPE to be ignored in the process (a client may close a connection
// while a reply is being written).
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"
#include "support/http_test_server.h"

namespace account_service {

struct Fault {
  enum class Kind { Status, ErrorText, ErrorReply, BadJSON, EmptyObject, Delay, Hang };
  Kind kind = Kind::Status;
  int status = 500;    // Status
  std::string text;    // ErrorText: the body is "ERROR - " + text; ErrorReply: the "error"
  double seconds = 0;  // Delay: the normal reply, this much later
  int count = -1;      // requests it applies to; -1 for ever

  static Fault statusCode(int status, int count = -1) {
    return {Kind::Status, status, {}, 0, count};
  }
  static Fault errorText(std::string text, int count = -1) {
    return {Kind::ErrorText, 400, std::move(text), 0, count};
  }
  // A 200 reply of JSON {"error": text}, the form a login may answer in.
  static Fault errorReply(std::string text, int count = -1) {
    return {Kind::ErrorReply, 200, std::move(text), 0, count};
  }
  static Fault badJSON(int count = -1) { return {Kind::BadJSON, 200, {}, 0, count}; }
  static Fault emptyObject(int count = -1) { return {Kind::EmptyObject, 200, {}, 0, count}; }
  static Fault delay(double seconds, int count = -1) {
    return {Kind::Delay, 200, {}, seconds, count};
  }
  static Fault hang(int count = -1) { return {Kind::Hang, 200, {}, 0, count}; }
};

class AccountService {
 public:
  // `data` with the OpenVPN credentials of `folder` in every "open" account:
  // "ca", "cert", "key" and "tls" become the Base64 text of ca.crt,
  // client.crt, client.key and ta.key, as the provider sends them. None (and
  // `*error`) when a file cannot be read. The folder is made at run time (the
  // demo and the tests generate it), so no key is ever committed.
  static platform::Value withOpenVPNCredentials(const platform::Value& data,
                                                const std::string& folder,
                                                platform::Error* error = nullptr);
  // The user names and passwords an OpenVPN server must accept for the
  // accounts of `data`, one "user password" line each: the user name the
  // client sends (the last "_"-separated piece of "name") and
  // "auth_user_pass". Accounts without a password are left out.
  static std::string openVPNUsers(const platform::Value& data);

  // Reads a data file; None (and `*error`) when it cannot be read or parsed.
  static platform::Value loadDataFile(const std::string& path, platform::Error* error = nullptr);
  // The demo data file shipped beside the program (found through
  // VARNEL_SOURCE_DIR or the source tree the program was built from).
  static std::string demoDataFilePath();

  // An HTTPS service presenting `certificateChainPEM` with `privateKeyPEM`.
  static std::unique_ptr<AccountService> startTLS(platform::Value data,
                                                  const std::string& certificateChainPEM,
                                                  const std::string& privateKeyPEM);
  static std::unique_ptr<AccountService> startPlain(platform::Value data);
  ~AccountService();

  std::string baseURL() const { return server_->baseURL(); }
  int port() const { return server_->port(); }
  test_support::HTTPTestServer& server() { return *server_; }

  // Replaces the faults of `path` ("/login/", "/ping/", ...) with `fault`.
  void setFault(const std::string& path, Fault fault);
  void clearFaults();

  // Files that list the clients of the demo's OpenVPN servers as
  // "CLIENT_LIST,<name>,<real address>,<tunnel address>,..." lines (an
  // OpenVPN status file of "--status-version 2", or the demo's record of
  // handed-out addresses). While one lists a client whose tunnel address
  // this machine holds, /poll/ answers that address as the visible IP: the
  // service then sees the client's requests come out of the tunnel, as the
  // provider's service would.
  void setTunnelStatusFiles(std::vector<std::string> files);

  // The current "udp" and "prefix" of an account (None when unknown).
  platform::Value accountValue(std::int64_t accountId, const std::string& key) const;

 private:
  struct Account {
    platform::Value dict;  // mutable dictionary, as sent
    std::string kind;      // "open" or "pptp"
  };
  struct User {
    std::string email, password, key, hash;
    platform::Value profile;
    std::vector<Account> accounts;
  };

  AccountService() = default;
  void load(const platform::Value& data);
  void install();
  test_support::HTTPReply handle(const test_support::HTTPRecordedRequest& request);
  test_support::HTTPReply route(const test_support::HTTPRecordedRequest& request);
  platform::Value loginReply(const User& user) const;
  User* userForKey(const std::string& key);
  std::optional<Fault> takeFault(const std::string& path);
  std::string visibleAddress() const;

  std::unique_ptr<test_support::HTTPTestServer> server_;
  mutable std::mutex mutex_;
  std::vector<User> users_;
  platform::Value plans_;
  std::map<std::string, Fault> faults_;
  std::vector<std::string> tunnelStatusFiles_;
};

// Query-string fields of a request target, percent-decoded.
std::map<std::string, std::string> parseQuery(const std::string& query);

}  // namespace account_service
