#include "sdk-service/sdk_service.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <vector>

#include "codecs/json_decoder.h"
#include "codecs/json_encoder.h"
#include "platform/foundation/value.h"
#include "platform/system/file_util.h"
#include "platform/system/property_list.h"
#include "support/multipart_form.h"

namespace sdk_service {

namespace fs = std::filesystem;
using test_support::HTTPRecordedRequest;
using test_support::HTTPReply;
using varnel::testing::FormPart;
using varnel::testing::gunzip;
using varnel::testing::multipartParts;

namespace {

// What one gzip part may unpack to: far more than any real event log or
// record file, and little enough that a small bomb is refused, not unpacked.
constexpr std::size_t kMaxUnpackedPart = std::size_t{32} << 20;

constexpr const char* kSettingsPrefix = "/spi/v2/platforms/mac/apps/";
constexpr const char* kCreatePath = "/spi/v1/platforms/mac/apps";
constexpr const char* kUpdatePrefix = "/spi/v1/platforms/mac/apps/";
constexpr const char* kEventsPath = "/spi/v2/events";
constexpr const char* kReportsPrefix = "/sdk-api/v1/platforms/mac/apps/";

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}
bool endsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// A name safe as one path component.
bool isPlainName(const std::string& name) {
  if (name.empty() || name == "." || name == ".." || name.size() > 200) return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-' ||
           c == '[' || c == ']';
  });
}

std::string header(const HTTPRecordedRequest& request, std::string_view name) {
  return request.header(name).value_or("");
}

// The boundary of a "multipart/form-data; boundary=..." content type.
std::optional<std::string> boundaryOf(const HTTPRecordedRequest& request) {
  const std::string type = header(request, "Content-Type");
  const std::string prefix = "multipart/form-data; boundary=";
  if (!startsWith(type, prefix) || type.size() == prefix.size()) return std::nullopt;
  return type.substr(prefix.size());
}

// The common checks of every SDK request; "" when they pass.
std::string checkIdentity(const HTTPRecordedRequest& request, const std::string& apiKey,
                          const char* keyHeader, const char* tokenHeader) {
  if (header(request, keyHeader) != apiKey) return std::string("wrong or missing ") + keyHeader;
  if (header(request, tokenHeader) != kDeveloperToken) {
    return std::string("wrong or missing ") + tokenHeader;
  }
  return "";
}

std::string checkLength(const HTTPRecordedRequest& request) {
  const std::string length = header(request, "Content-Length");
  if (!request.chunked && length != std::to_string(request.body.size())) {
    return "Content-Length " + length + " does not match the body (" +
           std::to_string(request.body.size()) + " bytes)";
  }
  return "";
}

std::vector<platform::Value> recordLines(const std::string& path) {
  std::vector<platform::Value> lines;
  auto text = platform::files::readFile(path);
  if (!text) return lines;
  std::size_t pos = 0;
  while (pos < text->size()) {
    auto end = text->find('\n', pos);
    if (end == std::string::npos) end = text->size();
    platform::Value line =
        codecs::JSONDecoder().objectWithText(std::string_view(*text).substr(pos, end - pos));
    if (line.isDictionary()) lines.push_back(line);
    pos = end + 1;
  }
  return lines;
}

platform::Value section(const std::vector<platform::Value>& lines, const char* name) {
  for (const auto& line : lines) {
    if (!line[name].isNone()) return line[name];
  }
  return platform::Value();
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The text a record keeps hex-encoded; "" for no value. Text that is not
// hex (odd length, other characters) marks the report as unreadable instead
// of ending the listing.
std::string hexDecode(const platform::Value& value, bool* unreadable) {
  if (!value.isString()) return "";
  std::string_view hex = value.stringView();
  std::string out;
  if (hex.size() % 2 != 0) *unreadable = true;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    const int high = hexDigit(hex[i]);
    const int low = hexDigit(hex[i + 1]);
    if (high < 0 || low < 0) {
      *unreadable = true;
      return out + "?";
    }
    out.push_back(static_cast<char>(high * 16 + low));
  }
  return out;
}

std::string text(const platform::Value& value) {
  return value.isString() ? value.asString() : std::string();
}

}  // namespace

std::unique_ptr<SDKService> SDKService::start(Options options, const std::string& certificatePEM,
                                              const std::string& privateKeyPEM) {
  std::unique_ptr<SDKService> service(new SDKService());
  service->options_ = std::move(options);
  std::error_code ec;
  fs::create_directories(fs::path(service->options_.dataFolder) / "events", ec);
  fs::create_directories(fs::path(service->options_.dataFolder) / "crashes", ec);
  service->server_ = test_support::HTTPTestServer::startTLS(certificatePEM, privateKeyPEM);
  SDKService* self = service.get();
  service->server_->setDefaultHandler(
      [self](const HTTPRecordedRequest& request) { return self->handle(request); });
  return service;
}

HTTPReply SDKService::handle(const HTTPRecordedRequest& request) {
  std::lock_guard lock(mutex_);
  const std::string& path = request.path;
  if (request.method == "GET" && startsWith(path, kSettingsPrefix) && endsWith(path, "/settings")) {
    return settings(request);
  }
  if ((request.method == "POST" && path == kCreatePath) ||
      (request.method == "PUT" && startsWith(path, kUpdatePrefix))) {
    return onboarding(request);
  }
  if (request.method == "POST" && path == kEventsPath) return events(request);
  if (request.method == "POST" && startsWith(path, kReportsPrefix) && endsWith(path, "/reports")) {
    return report(request);
  }
  return reject(request, "no such endpoint");
}

HTTPReply SDKService::reject(const HTTPRecordedRequest& request, const std::string& why) {
  const std::string line = request.method + " " + request.target + ": " + why + "\n";
  std::FILE* log = std::fopen((fs::path(options_.dataFolder) / "rejected.log").c_str(), "a");
  if (log != nullptr) {
    std::fputs(line.c_str(), log);
    std::fclose(log);
  }
  std::fprintf(stderr, "rejected %s", line.c_str());
  return HTTPReply::text(why == "no such endpoint" ? 404 : 400, why + "\n");
}

HTTPReply SDKService::settings(const HTTPRecordedRequest& request) {
  std::string why = checkIdentity(request, options_.apiKey, "X-Crashtrail-API-Key",
                                  "X-Crashtrail-Developer-Token");
  if (why.empty() && header(request, "Accept") != "application/json") why = "Accept must be JSON";
  if (why.empty() && header(request, "X-Crashtrail-Installation-ID").empty()) {
    why = "no X-Crashtrail-Installation-ID";
  }
  if (!why.empty()) return reject(request, why);
  const bool onboarded = fs::exists(fs::path(options_.dataFolder) / "app.json");
  auto analytics = platform::Value::dictionary(
      {{"url", platform::Value(publicURL() + kEventsPath)},
       {"flush_interval_secs", platform::Value(options_.flushIntervalSeconds)},
       {"max_byte_size_per_file", platform::Value(static_cast<std::int64_t>(1))},
       {"upload_timeout_secs", platform::Value(static_cast<std::int64_t>(60))},
       {"low_power_upload_timeout_secs", platform::Value(static_cast<std::int64_t>(60))}});
  auto settings = platform::Value::dictionary(
      {{"app",
        platform::Value::dictionary({{"status", platform::Value(onboarded ? "activated" : "new")},
                                     {"update_required", platform::Value(false)}})},
       {"features", platform::Value::dictionary({{"collect_analytics", platform::Value(true)},
                                                 {"collect_reports", platform::Value(true)},
                                                 {"prompt_enabled", platform::Value(false)}})},
       {"analytics", analytics}});
  platform::Value json = codecs::JSONString(settings, codecs::JTSerializeOptionNone);
  return HTTPReply::text(200, json.asString(), "application/json; charset=utf-8");
}

HTTPReply SDKService::onboarding(const HTTPRecordedRequest& request) {
  std::string why = checkIdentity(request, options_.apiKey, "X-Crashtrail-API-Key",
                                  "X-Crashtrail-Developer-Token");
  if (why.empty()) why = checkLength(request);
  auto boundary = boundaryOf(request);
  if (why.empty() && !boundary) why = "not a multipart form";
  std::optional<std::vector<FormPart>> parts;
  if (why.empty() && !(parts = multipartParts(request.body, *boundary))) why = "malformed form";
  auto app = platform::Value::mutableDictionary();
  if (why.empty()) {
    for (const auto& part : *parts) {
      if (part.fileName.empty()) app.set(part.name, platform::Value(part.body));
    }
    if (!app["app[identifier]"].isString() || !app["app[build_version]"].isString()) {
      why = "app[identifier] and app[build_version] are required";
    }
  }
  if (!why.empty()) return reject(request, why);
  platform::files::writeFileAtomically(
      (fs::path(options_.dataFolder) / "app.json").string(),
      codecs::JSONString(app, codecs::JTSerializeOptionNone).asString(), 0600);
  return HTTPReply::text(request.method == "POST" ? 201 : 200, "{}",
                         "application/json; charset=utf-8");
}

HTTPReply SDKService::events(const HTTPRecordedRequest& request) {
  if (auto target =
          platform::files::readFile((fs::path(options_.dataFolder) / "redirect-events").string())) {
    while (!target->empty() && std::isspace(static_cast<unsigned char>(target->back()))) {
      target->pop_back();
    }
    std::fprintf(stderr, "redirected %s %s to %s\n", request.method.c_str(), request.target.c_str(),
                 target->c_str());
    return HTTPReply::text(302, "").header("Location", *target);
  }
  std::string why = checkIdentity(request, options_.apiKey, "X-CRASHTRAIL-API-KEY",
                                  "X-CRASHTRAIL-DEVELOPER-TOKEN");
  if (why.empty() && header(request, "User-Agent") != "Tally Mac SDK/1.3.4") {
    why = "unexpected User-Agent";
  }
  if (why.empty() && header(request, "X-Crashtrail-Api-Client-Packaged-Timestamp").empty()) {
    why = "no packaged timestamp";
  }
  if (why.empty()) why = checkLength(request);
  auto boundary = boundaryOf(request);
  if (why.empty() && !boundary) why = "not a multipart form";
  std::optional<std::vector<FormPart>> parts;
  if (why.empty() && (!(parts = multipartParts(request.body, *boundary)) || parts->size() != 1)) {
    why = "a package holds exactly one part";
  }
  std::optional<std::string> log;
  if (why.empty() && !(log = gunzip((*parts)[0].body, kMaxUnpackedPart))) {
    why = "the event log is not gzip (or unpacks to more than 32 MiB)";
  }
  if (why.empty()) {
    // Every line: time, name, byte length, JSON; the first is the metadata.
    std::size_t pos = 0, count = 0;
    while (why.empty() && pos < log->size()) {
      auto end = log->find('\n', pos);
      if (end == std::string::npos) end = log->size();
      std::string_view line = std::string_view(*log).substr(pos, end - pos);
      pos = end + 1;
      auto t1 = line.find('\t');
      auto t2 = t1 == std::string_view::npos ? t1 : line.find('\t', t1 + 1);
      auto t3 = t2 == std::string_view::npos ? t2 : line.find('\t', t2 + 1);
      if (t3 == std::string_view::npos) {
        why = "a log line without four fields";
        break;
      }
      if (count == 0 && line.substr(t1 + 1, t2 - t1 - 1) != "metadata") {
        why = "the log does not start with its metadata line";
      }
      const auto payload = line.substr(t3 + 1);
      if (std::to_string(payload.size()) != line.substr(t2 + 1, t3 - t2 - 1)) {
        why = "a log line's length does not match";
      }
      if (!codecs::JSONDecoder().objectWithText(payload).isDictionary()) {
        why = "a log line's payload is not a JSON object";
      }
      ++count;
    }
  }
  if (!why.empty()) return reject(request, why);
  char name[64];
  std::snprintf(name, sizeof(name), "%06u-", ++counter_);
  platform::files::writeFileAtomically(
      (fs::path(options_.dataFolder) / "events" / (name + *boundary + ".log")).string(), *log,
      0600);
  return HTTPReply::text(202, "{}", "application/json; charset=utf-8");
}

HTTPReply SDKService::report(const HTTPRecordedRequest& request) {
  std::string why = checkIdentity(request, options_.apiKey, "X-Crashtrail-API-Key",
                                  "X-Crashtrail-Developer-Token");
  if (why.empty() && header(request, "User-Agent") != "Crashtrail Mac SDK/3.8.4") {
    why = "unexpected User-Agent";
  }
  if (why.empty() && header(request, "X-Crashtrail-API-Client-Id") != "com.beacon.crashtrail.mac") {
    why = "unexpected X-Crashtrail-API-Client-Id";
  }
  if (why.empty()) why = checkLength(request);
  auto boundary = boundaryOf(request);
  if (why.empty() && !boundary) why = "not a multipart form";
  std::optional<std::vector<FormPart>> parts;
  if (why.empty() && !(parts = multipartParts(request.body, *boundary))) why = "malformed form";
  if (why.empty() &&
      (parts->size() < 3 || (*parts)[0].name != "api_key" || (*parts)[1].name != "report_id")) {
    why = "the form must start with api_key and report_id";
  }
  if (why.empty() && (*parts)[0].body != options_.apiKey) why = "api_key part does not match";
  const std::string reportID = why.empty() ? (*parts)[1].body : "";
  if (why.empty() && !isPlainName(reportID)) why = "bad report_id";
  std::map<std::string, std::string> files;
  if (why.empty()) {
    for (std::size_t i = 2; i < parts->size() && why.empty(); ++i) {
      const FormPart& part = (*parts)[i];
      if (!isPlainName(part.name)) {
        why = "bad part name";
      } else if (endsWith(part.fileName, ".gz")) {
        auto bytes = gunzip(part.body, kMaxUnpackedPart);
        if (!bytes) why = "part " + part.name + " is not gzip (or unpacks to more than 32 MiB)";
        if (bytes) files[part.name] = *bytes;
      } else {
        files[part.name] = part.body;
      }
    }
  }
  if (!why.empty()) return reject(request, why);
  // Written beside the listing, then moved in: a reader sees a report
  // whole or not at all. A report sent again replaces the earlier copy.
  const fs::path crashes = fs::path(options_.dataFolder) / "crashes";
  const fs::path partial = fs::path(options_.dataFolder) / ("partial-" + reportID);
  std::error_code ec;
  fs::remove_all(partial, ec);
  fs::create_directories(partial, ec);
  for (const auto& [name, bytes] : files) {
    if (!platform::files::writeFileAtomically((partial / name).string(), bytes, 0600)) {
      return HTTPReply::text(500, "cannot store the report\n");
    }
  }
  fs::remove_all(crashes / reportID, ec);
  fs::rename(partial, crashes / reportID, ec);
  if (ec) return HTTPReply::text(500, "cannot store the report\n");
  return HTTPReply::text(202, "{}", "application/json; charset=utf-8");
}

int showReceived(const std::string& dataFolder, bool machineReadable) {
  const fs::path crashes = fs::path(dataFolder) / "crashes";
  std::vector<fs::path> reports;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(crashes, ec)) {
    if (entry.is_directory()) reports.push_back(entry.path());
  }
  std::sort(reports.begin(), reports.end());
  std::printf("%zu crash report(s)\n", reports.size());
  for (const auto& report : reports) {
    std::string what = "unknown";
    std::string recordFile;
    bool unreadable = false;
    for (const char* file : {"exception.clsrecord", "signal.clsrecord"}) {
      auto lines = recordLines((report / file).string());
      if (lines.empty()) continue;
      recordFile = file;
      if (auto signal = section(lines, "signal"); signal.isDictionary()) {
        what = "signal " + text(signal["name"]);
        if (!text(signal["code_name"]).empty()) what += " (" + text(signal["code_name"]) + ")";
      }
      if (auto exception = section(lines, "exception"); exception.isDictionary()) {
        what = "exception " + text(exception["type"]) + " " +
               hexDecode(exception["name"], &unreadable) + ": " +
               hexDecode(exception["reason"], &unreadable);
      }
      break;
    }
    if (recordFile.empty()) {
      std::printf("\ncrash %s: unreadable (no record)\n", report.filename().c_str());
      continue;
    }
    std::printf("\ncrash %s: %s%s\n", report.filename().c_str(), what.c_str(),
                unreadable ? " [unreadable fields]" : "");
    // An exception carries the frames of its throw; they come first.
    const platform::Value exception =
        section(recordLines((report / recordFile).string()), "exception");
    const platform::Value thrown = exception["frames"];
    if (thrown.count() > 0) {
      std::printf("  thrown at:\n");
      for (std::size_t f = 0; f < thrown.count() && f < 12; ++f) {
        std::string symbol = hexDecode(thrown[f]["symbol"], &unreadable);
        if (symbol.empty()) symbol = "?";
        if (machineReadable) {
          std::printf("  frame %zu %s\n", f, symbol.c_str());
        } else {
          std::printf("  %2zu  %-60s %s\n", f, symbol.c_str(),
                      fs::path(hexDecode(thrown[f]["library"], &unreadable)).filename().c_str());
        }
      }
    }
    // The crashed thread's index in the record, its frames in the
    // symbolicated copy.
    const platform::Value threads = section(recordLines((report / recordFile).string()), "threads");
    std::size_t crashed = 0;
    for (std::size_t i = 0; i < threads.count(); ++i) {
      if (threads[i]["crashed"].isBool() && threads[i]["crashed"].asBool()) crashed = i;
    }
    const platform::Value symbolicated =
        section(recordLines((report / (recordFile + ".symbolicated")).string()), "threads");
    const platform::Value frames = symbolicated[crashed];
    std::printf("  crashed thread %zu, top frames:\n", crashed);
    for (std::size_t f = 0; f < frames.count() && f < 12; ++f) {
      const platform::Value frame = frames[f];
      std::string symbol = text(frame["symbol"]);
      if (symbol.empty()) symbol = "?";
      std::string library = fs::path(text(frame["library"])).filename().string();
      if (machineReadable) {
        std::printf("  frame %zu %s\n", f, symbol.c_str());
      } else {
        std::printf("  %2zu  %-60s %s\n", f, symbol.c_str(), library.c_str());
      }
    }
  }
  // Events, by name, over every package.
  std::map<std::string, int> counts;
  int packages = 0;
  std::vector<fs::path> logs;
  for (const auto& entry : fs::directory_iterator(fs::path(dataFolder) / "events", ec)) {
    logs.push_back(entry.path());
  }
  for (const auto& log : logs) {
    ++packages;
    auto textOfLog = platform::files::readFile(log.string());
    if (!textOfLog) continue;
    std::size_t pos = 0;
    while (pos < textOfLog->size()) {
      auto end = textOfLog->find('\n', pos);
      if (end == std::string::npos) end = textOfLog->size();
      std::string_view line = std::string_view(*textOfLog).substr(pos, end - pos);
      pos = end + 1;
      auto t1 = line.find('\t');
      auto t2 = t1 == std::string_view::npos ? t1 : line.find('\t', t1 + 1);
      if (t2 == std::string_view::npos) continue;
      std::string name(line.substr(t1 + 1, t2 - t1 - 1));
      if (name == "custom") {
        auto payload =
            codecs::JSONDecoder().objectWithText(line.substr(line.find('\t', t2 + 1) + 1));
        name += " " + text(payload["custom_type"]);
      }
      ++counts[name];
    }
  }
  std::printf("\n%d analytics package(s)\n", packages);
  for (const auto& [name, count] : counts) std::printf("  event %s: %d\n", name.c_str(), count);
  return static_cast<int>(reports.size());
}

bool configureInfoPlist(const std::string& plistPath, const std::string& baseURL,
                        const std::string& apiKey, const std::string& caFile, std::string* error) {
  platform::Error readError;
  platform::Value info = platform::plist::readFile(plistPath, &readError);
  if (!info.isDictionary()) {
    if (error) *error = "cannot read " + plistPath + ": " + readError.localizedDescription();
    return false;
  }
  auto copy = platform::Value::mutableDictionary();
  info.forEach([&copy](const platform::Value& key, const platform::Value& value) {
    copy.set(key, value);
    return true;
  });
  copy.set("Beacon", platform::Value::dictionary({{"APIKey", platform::Value(apiKey)},
                                                  {"Kits", platform::Value::array()}}));
  copy.set("Crashtrail", platform::Value::dictionary(
                             {{"SettingsEndpoint", platform::Value(baseURL)},
                              {"ConfigureEndpoint", platform::Value(baseURL)},
                              {"ReportsEndpoint", platform::Value(baseURL)},
                              {"BetaEndpoint", platform::Value(baseURL)},
                              {"LocalServiceCertificateAuthority", platform::Value(caFile)}}));
  platform::Error writeError;
  if (!platform::plist::writeFile(plistPath, copy, 0644, &writeError)) {
    if (error) *error = "cannot write " + plistPath + ": " + writeError.localizedDescription();
    return false;
  }
  return true;
}

}  // namespace sdk_service
