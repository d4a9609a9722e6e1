#include "account-service/account_service.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "codecs/base64.h"
#include "codecs/json_decoder.h"
#include "codecs/json_encoder.h"
#include "platform/system/file_util.h"

namespace account_service {

using platform::Value;
using test_support::HTTPRecordedRequest;
using test_support::HTTPReply;

namespace {

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string percentDecode(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && hexDigit(s[i + 1]) >= 0 && hexDigit(s[i + 2]) >= 0) {
      out += static_cast<char>(hexDigit(s[i + 1]) * 16 + hexDigit(s[i + 2]));
      i += 2;
    } else if (s[i] == '+') {
      out += ' ';
    } else {
      out += s[i];
    }
  }
  return out;
}

std::string toJSON(const Value& v) {
  const Value text = codecs::JSONString(v);
  return text.isString() ? text.asString() : "{}";
}

HTTPReply jsonReply(const Value& v) { return HTTPReply::json(toJSON(v)); }

HTTPReply errorText(int status, const std::string& message) {
  return HTTPReply::text(status, "ERROR - " + message);
}

std::string text(const Value& v) {
  if (v.isString()) return v.asString();
  if (v.isNumber() && !v.isBool()) return v.description();
  return {};
}

// A deep mutable copy of a JSON value.
Value mutableDeepCopy(const Value& v) {
  if (v.isDictionary()) {
    Value out = Value::mutableDictionary();
    for (const auto& [k, e] : v.pairs()) out.set(k, mutableDeepCopy(e));
    return out;
  }
  if (v.isArray()) {
    Value out = Value::mutableArray();
    for (const Value& e : v.elements()) out.append(mutableDeepCopy(e));
    return out;
  }
  return v;
}

const char* kUpdateFeed =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
    "<rss version=\"2.0\">\n"
    "  <channel>\n"
    "    <title>VarnelVPN Client</title>\n"
    "    <item>\n"
    "      <title>Version 1.2.0</title>\n"
    "      <enclosure url=\"https://127.0.0.1/VarnelVPN-1.2.0.zip\" version=\"120\" "
    "shortVersionString=\"1.2.0\" length=\"0\" type=\"application/octet-stream\"/>\n"
    "    </item>\n"
    "  </channel>\n"
    "</rss>\n";

}  // namespace

std::map<std::string, std::string> parseQuery(const std::string& query) {
  std::map<std::string, std::string> out;
  std::size_t start = 0;
  while (start <= query.size()) {
    std::size_t end = query.find('&', start);
    if (end == std::string::npos) end = query.size();
    const std::string_view pair(query.data() + start, end - start);
    if (!pair.empty()) {
      const auto eq = pair.find('=');
      if (eq == std::string_view::npos)
        out[percentDecode(pair)] = "";
      else
        out[percentDecode(pair.substr(0, eq))] = percentDecode(pair.substr(eq + 1));
    }
    start = end + 1;
  }
  return out;
}

Value AccountService::loadDataFile(const std::string& path, platform::Error* error) {
  auto contents = platform::files::readFile(path, error);
  if (!contents) return Value();
  Value data = codecs::JSONDecoder::decoder()->objectWithText(*contents, error);
  if (!data.isDictionary()) {
    if (error != nullptr && !*error) {
      *error = platform::Error(platform::kCocoaErrorDomain, 3840,
                               Value::dictionary({{platform::kLocalizedDescriptionKey,
                                                   Value("The data file holds no JSON object.")}}));
    }
    return Value();
  }
  return data;
}

std::string AccountService::demoDataFilePath() {
  if (const char* source = std::getenv("VARNEL_SOURCE_DIR")) {
    return std::string(source) + "/tools/account-service/demo_data.json";
  }
  return VARNEL_ACCOUNT_SERVICE_SOURCE_DIR "/demo_data.json";
}

// A peer that closes its connection while a reply is written (a cancelled
// request) must not end the process: the server writes to plain sockets.
void ignoreBrokenPipes() { ::signal(SIGPIPE, SIG_IGN); }

std::unique_ptr<AccountService> AccountService::startTLS(Value data,
                                                         const std::string& certificateChainPEM,
                                                         const std::string& privateKeyPEM) {
  ignoreBrokenPipes();
  std::unique_ptr<AccountService> service(new AccountService());
  service->load(data);
  service->server_ = test_support::HTTPTestServer::startTLS(certificateChainPEM, privateKeyPEM);
  service->install();
  return service;
}

std::unique_ptr<AccountService> AccountService::startPlain(Value data) {
  ignoreBrokenPipes();
  std::unique_ptr<AccountService> service(new AccountService());
  service->load(data);
  service->server_ = test_support::HTTPTestServer::start();
  service->install();
  return service;
}

Value AccountService::withOpenVPNCredentials(const Value& data, const std::string& folder,
                                             platform::Error* error) {
  Value out = mutableDeepCopy(data);
  const std::pair<const char*, const char*> files[] = {
      {"ca", "ca.crt"}, {"cert", "client.crt"}, {"key", "client.key"}, {"tls", "ta.key"}};
  std::map<std::string, std::string> encoded;
  for (const auto& [key, file] : files) {
    const std::string path = folder + "/" + file;
    std::optional<std::string> bytes = platform::files::readFile(path);
    if (!bytes) {
      if (error)
        *error = platform::Error(
            "AccountServiceErrorDomain", 2,
            Value::dictionary({{"NSLocalizedDescription", Value("cannot read " + path)}}));
      return Value();
    }
    encoded[key] = codecs::Base64EncodeBytes(bytes->data(), bytes->size(), false);
  }
  for (Value user : out["users"].elements()) {
    for (Value account : user["open"].elements()) {
      for (const auto& [key, text] : encoded) account.set(key, Value(text));
    }
  }
  return out;
}

std::string AccountService::openVPNUsers(const Value& data) {
  std::string out;
  for (const Value& user : data["users"].elements()) {
    for (const Value& account : user["open"].elements()) {
      const std::string password = text(account["auth_user_pass"]);
      std::string name = text(account["name"]);
      if (password.empty() || name.empty()) continue;
      const std::size_t at = name.rfind('_');
      if (at != std::string::npos) name = name.substr(at + 1);
      out += name + " " + password + "\n";
    }
  }
  return out;
}

void AccountService::setTunnelStatusFiles(std::vector<std::string> files) {
  std::lock_guard<std::mutex> lock(mutex_);
  tunnelStatusFiles_ = std::move(files);
}

std::string AccountService::visibleAddress() const {
  // The addresses this machine holds now: a tunnel that went down no
  // longer counts, whatever the server's status file still says.
  std::vector<std::string> local;
  if (ifaddrs* list = nullptr; ::getifaddrs(&list) == 0) {
    for (ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
      if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
      char buffer[INET_ADDRSTRLEN];
      const auto* in = reinterpret_cast<const sockaddr_in*>(i->ifa_addr);
      if (::inet_ntop(AF_INET, &in->sin_addr, buffer, sizeof buffer)) local.emplace_back(buffer);
    }
    ::freeifaddrs(list);
  }
  for (const std::string& file : tunnelStatusFiles_) {
    std::istringstream lines(platform::files::readFile(file).value_or(""));
    for (std::string line; std::getline(lines, line);) {
      // CLIENT_LIST,<name>,<real address>,<tunnel address>,...
      if (line.rfind("CLIENT_LIST,", 0) != 0) continue;
      std::vector<std::string> fields;
      std::istringstream parts(line);
      for (std::string f; std::getline(parts, f, ',');) fields.push_back(f);
      if (fields.size() < 4 || fields[3].empty()) continue;
      for (const std::string& address : local)
        if (address == fields[3]) return address;
    }
  }
  return "127.0.0.1";
}

AccountService::~AccountService() {
  if (server_) server_->stop();
}

void AccountService::install() {
  server_->setDefaultHandler([this](const HTTPRecordedRequest& r) { return handle(r); });
}

void AccountService::load(const Value& data) {
  for (const Value& u : data["users"].elements()) {
    User user;
    user.email = text(u["email"]);
    user.password = text(u["password"]);
    user.key = text(u["key"]);
    user.hash = text(u["hash"]);
    user.profile = u["profile"].isDictionary() ? u["profile"] : Value::dictionary();
    for (const char* kind : {"open", "pptp"}) {
      for (const Value& a : u[kind].elements()) {
        if (a.isDictionary()) user.accounts.push_back({mutableDeepCopy(a), kind});
      }
    }
    users_.push_back(std::move(user));
  }
  plans_ = data["plans"].isDictionary() ? data["plans"] : Value::dictionary();
}

void AccountService::setFault(const std::string& path, Fault fault) {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_[path] = std::move(fault);
}

void AccountService::clearFaults() {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_.clear();
}

std::optional<Fault> AccountService::takeFault(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = faults_.find(path);
  if (it == faults_.end() || it->second.count == 0) return std::nullopt;
  Fault fault = it->second;
  if (it->second.count > 0) --it->second.count;
  return fault;
}

Value AccountService::accountValue(std::int64_t accountId, const std::string& key) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const User& user : users_) {
    for (const Account& a : user.accounts) {
      if (a.dict["id"].asInt64() == accountId) return a.dict[key];
    }
  }
  return Value();
}

HTTPReply AccountService::handle(const HTTPRecordedRequest& request) {
  const std::optional<Fault> fault = takeFault(request.path);
  if (fault) {
    switch (fault->kind) {
      case Fault::Kind::Status:
        return HTTPReply::text(fault->status, "Internal Server Error");
      case Fault::Kind::ErrorText:
        return errorText(fault->status, fault->text);
      case Fault::Kind::BadJSON:
        return HTTPReply::json("{\"success\": tru");
      case Fault::Kind::EmptyObject:
        return HTTPReply::json("{}");
      case Fault::Kind::ErrorReply:
        return jsonReply(Value::dictionary({{"error", Value(fault->text)}}));
      case Fault::Kind::Hang: {
        HTTPReply reply;
        reply.hang = true;
        return reply;
      }
      case Fault::Kind::Delay: {
        HTTPReply reply = route(request);
        reply.delaySeconds = fault->seconds;
        return reply;
      }
    }
  }
  return route(request);
}

Value AccountService::loginReply(const User& user) const {
  Value reply = Value::mutableDictionary();
  reply.addEntriesFrom(user.profile);
  reply.set("success", Value(true));
  reply.set("email", Value(user.email));
  reply.set("key", Value(user.key));
  reply.set("hash", Value(user.hash));
  Value open = Value::mutableArray(), pptp = Value::mutableArray();
  for (const Account& a : user.accounts) (a.kind == "open" ? open : pptp).append(a.dict);
  reply.set("open", open);
  reply.set("pptp", pptp);
  return reply;
}

AccountService::User* AccountService::userForKey(const std::string& key) {
  if (key.empty()) return nullptr;
  for (User& u : users_) {
    if (u.key == key) return &u;
  }
  return nullptr;
}

HTTPReply AccountService::route(const HTTPRecordedRequest& request) {
  const auto query = parseQuery(request.query);
  auto field = [&](const char* name) {
    auto it = query.find(name);
    return it == query.end() ? std::string() : it->second;
  };
  Value body;
  if (!request.body.empty()) body = codecs::JSONDecoder::decoder()->objectWithText(request.body);
  std::lock_guard<std::mutex> lock(mutex_);

  if (request.path == "/ping/") return jsonReply(Value::dictionary({{"success", Value(true)}}));
  if (request.path == "/mac_v2.xml") return HTTPReply::text(200, kUpdateFeed, "application/xml");

  if (request.path == "/login/" && request.method == "GET") {
    const std::string user = field("u"), password = field("p");
    for (const User& u : users_) {
      const bool byPassword = !user.empty() && u.email == user && u.password == password;
      const bool byKey = user.empty() && !password.empty() && u.key == password;
      if (byPassword || byKey) return jsonReply(loginReply(u));
    }
    return errorText(401, "Invalid username or password.");
  }

  if (request.path == "/poll/" && request.method == "POST") {
    User* user = userForKey(text(body["key"]));
    if (user == nullptr || text(body["hash"]) != user->hash) return errorText(403, "Invalid key.");
    Value reply = Value::mutableDictionary();
    reply.set("success", Value(true));
    reply.set("country_code",
              user->profile["country_code"].isNone() ? Value("NO") : user->profile["country_code"]);
    reply.set("ip", Value(visibleAddress()));
    reply.set("user",
              Value::dictionary({{"name", user->profile["name"].isNone() ? Value(user->email)
                                                                         : user->profile["name"]},
                                 {"email", Value(user->email)}}));
    return jsonReply(reply);
  }

  if (request.path == "/servers/" && request.method == "GET") {
    const Value plan = plans_[field("plan")];
    if (!plan.isDictionary()) return errorText(404, "Unknown plan.");
    return jsonReply(plan);
  }

  if (request.path == "/switch/" && request.method == "GET") {
    User* user = userForKey(field("key"));
    if (user == nullptr) return errorText(403, "Invalid key.");
    for (Account& a : user->accounts) {
      if (text(a.dict["id"]) != field("pack")) continue;
      const Value plan = plans_[text(a.dict["plan_id"])];
      for (const char* kind : {"open", "pptp"}) {
        for (const Value& server : plan[kind].elements()) {
          if (text(server["prefix"]) != field("prefix")) continue;
          a.dict.set("prefix", server["prefix"]);
          a.dict.set("city", server["city"]);
          a.dict.set("country", server["country"]);
          a.kind = kind;
          return jsonReply(loginReply(*user));
        }
      }
      return errorText(404, "Unknown server.");
    }
    return errorText(404, "Unknown account.");
  }

  if (request.path == "/change_open/" && request.method == "POST") {
    User* user = userForKey(text(body["key"]));
    if (user == nullptr) return errorText(403, "Invalid key.");
    for (Account& a : user->accounts) {
      if (a.kind != "open" || text(a.dict["id"]) != text(body["pack"])) continue;
      const std::string proto = text(body["proto"]);
      if (proto != "udp" && proto != "tcp") return errorText(400, "Unknown protocol.");
      a.dict.set("udp", Value(proto == "udp"));
      a.dict.set("port", Value(std::strtol(text(body["port"]).c_str(), nullptr, 10)));
      return jsonReply(Value::dictionary({{"success", Value(true)}}));
    }
    return errorText(404, "Unknown account.");
  }

  return HTTPReply::text(404, "Not Found");
}

}  // namespace account_service
