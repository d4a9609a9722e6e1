// Helpers of the analytics controller tests: a host application for the
// kit registry, settings files, and readers of the files the controller
// makes (event logs, gzip, multipart packages).
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "codecs/json_decoder.h"
#include "platform/foundation/value.h"
#include "platform/system/bundle.h"
#include "platform/system/file_util.h"
#include "platform/system/paths.h"
#include "support/multipart_form.h"

namespace tally_test {

inline constexpr const char* kAPIKey = "0123456789abcdef0123456789abcdef01234567";
inline constexpr const char* kBundleIdentifier = "com.varnel.tally-test";

// The host program's bundle, with a "Beacon" dictionary holding kAPIKey.
inline platform::BundlePtr hostBundle() {
  auto info = platform::Value::mutableDictionary();
  info.set("CFBundleIdentifier", platform::Value(kBundleIdentifier));
  info.set("CFBundleVersion", platform::Value("42"));
  info.set("CFBundleShortVersionString", platform::Value("4.2"));
  auto beacon = platform::Value::mutableDictionary();
  beacon.set("APIKey", platform::Value(kAPIKey));
  beacon.set("Kits", platform::Value::array());
  info.set("Beacon", beacon);
  return std::make_shared<platform::Bundle>("/proc/self/exe", "", info);
}

// Every regular file of `directory` with the extension `extension` ("" for
// all), sorted by name.
inline std::vector<std::string> filesIn(const std::string& directory,
                                        std::string_view extension = {}) {
  std::vector<std::string> files;
  if (DIR* dir = ::opendir(directory.c_str())) {
    while (dirent* entry = ::readdir(dir)) {
      std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      if (!extension.empty()) {
        auto dot = name.rfind('.');
        if (dot == std::string::npos || std::string_view(name).substr(dot + 1) != extension) {
          continue;
        }
      }
      files.push_back(directory + "/" + name);
    }
    ::closedir(dir);
  }
  std::sort(files.begin(), files.end());
  return files;
}

inline bool writeFile(const std::string& path, std::string_view bytes) {
  platform::paths::createDirectories(platform::files::parentFolder(path));
  return platform::files::writeFileAtomically(path, bytes, 0644);
}

inline std::string gzip(std::string_view bytes) {
  z_stream stream{};
  deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&stream, bytes.size()) + 32, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
  stream.avail_in = static_cast<uInt>(bytes.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  deflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

// nullopt when `bytes` is not one complete gzip stream.
using varnel::testing::gunzip;

// One line of an event log.
struct LogLine {
  std::uint64_t time = 0;
  std::string name;
  std::size_t length = 0;
  std::string payloadText;
  platform::Value payload;
};

// Splits an event log into its lines; a line that does not have four
// tab-separated fields ends the parse with what was read.
inline std::vector<LogLine> parseLog(std::string_view text) {
  std::vector<LogLine> lines;
  std::size_t pos = 0;
  while (pos < text.size()) {
    auto end = text.find('\n', pos);
    if (end == std::string_view::npos) break;
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    auto t1 = line.find('\t');
    auto t2 = t1 == std::string_view::npos ? t1 : line.find('\t', t1 + 1);
    auto t3 = t2 == std::string_view::npos ? t2 : line.find('\t', t2 + 1);
    if (t3 == std::string_view::npos) break;
    LogLine parsed;
    parsed.time = std::stoull(std::string(line.substr(0, t1)));
    parsed.name = std::string(line.substr(t1 + 1, t2 - t1 - 1));
    parsed.length = std::stoul(std::string(line.substr(t2 + 1, t3 - t2 - 1)));
    parsed.payloadText = std::string(line.substr(t3 + 1));
    parsed.payload = codecs::JSONDecoder().objectWithText(parsed.payloadText);
    lines.push_back(std::move(parsed));
  }
  return lines;
}

// The event log inside a package file's bytes (boundary = its base name): its
// only part, un-gzipped.
inline std::optional<std::string> logInPackage(std::string_view package,
                                               std::string_view boundary) {
  auto parts = varnel::testing::multipartParts(std::string(package), std::string(boundary));
  if (!parts || parts->size() != 1) return std::nullopt;
  return gunzip(parts->front().body);
}

inline bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

inline std::string baseName(const std::string& path) {
  std::string name = path.substr(path.rfind('/') + 1);
  return name.substr(0, name.rfind('.'));
}

}  // namespace tally_test
