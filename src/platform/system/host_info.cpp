#include "platform/system/host_info.h"

#include <sys/utsname.h>

#include <cctype>
#include <fstream>
#include <sstream>
#include <utility>

namespace platform {

namespace {

std::string trimmed(std::string_view text) {
  std::size_t begin = 0, end = text.size();
  auto blank = [](char c) { return c == '\0' || std::isspace(static_cast<unsigned char>(c)) != 0; };
  while (begin < end && blank(text[begin])) ++begin;
  while (end > begin && blank(text[end - 1])) --end;
  return std::string(text.substr(begin, end - begin));
}

std::optional<std::string> nonEmpty(std::string text) {
  if (text.empty()) return std::nullopt;
  return text;
}

// The VERSION_ID value of os-release text, without quotes; "" when absent.
std::string versionID(const std::string& osRelease) {
  std::istringstream in(osRelease);
  std::string line;
  while (std::getline(in, line)) {
    std::string_view view = line;
    if (view.substr(0, 11) != "VERSION_ID=") continue;
    std::string value = trimmed(view.substr(11));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    return value;
  }
  return {};
}

}  // namespace

HostInfo::HostInfo(std::string root) : root_(std::move(root)) {
  while (!root_.empty() && root_.back() == '/') root_.pop_back();
}

std::optional<std::string> HostInfo::readSmallFile(const std::string& absolutePath) const {
  std::ifstream in(root_ + absolutePath, std::ios::binary);
  if (!in) return std::nullopt;
  std::string text;
  char buffer[4096];
  // Sources here are small; never read more than 64 KiB of one.
  while (text.size() < 65536 && in.read(buffer, sizeof buffer).gcount() > 0) {
    text.append(buffer, static_cast<std::size_t>(in.gcount()));
  }
  return text;
}

OperatingSystemVersion HostInfo::parseVersionTriple(std::string_view text) {
  OperatingSystemVersion version;
  long* parts[] = {&version.majorVersion, &version.minorVersion, &version.patchVersion};
  std::size_t i = 0;
  for (int part = 0; part < 3; ++part) {
    if (i >= text.size() || !std::isdigit(static_cast<unsigned char>(text[i]))) break;
    long value = 0;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
      if (value < 100000000) value = value * 10 + (text[i] - '0');
      ++i;
    }
    *parts[part] = value;
    if (i >= text.size() || text[i] != '.') break;
    ++i;
  }
  return version;
}

OperatingSystemVersion HostInfo::operatingSystemVersion() const {
  for (const char* path : {"/etc/os-release", "/usr/lib/os-release"}) {
    std::optional<std::string> text = readSmallFile(path);
    if (!text) continue;
    std::string id = versionID(*text);
    if (!id.empty() && std::isdigit(static_cast<unsigned char>(id[0]))) {
      return parseVersionTriple(id);
    }
  }
  struct utsname names {};
  if (::uname(&names) == 0) return parseVersionTriple(names.release);
  return {};
}

std::optional<std::string> HostInfo::sysctlString(std::string_view name) const {
  struct utsname names {};
  const bool haveNames = ::uname(&names) == 0;
  if (name == "kern.osversion" || name == "kern.osrelease") {
    return haveNames ? nonEmpty(names.release) : std::nullopt;
  }
  if (name == "kern.ostype") return haveNames ? nonEmpty(names.sysname) : std::nullopt;
  if (name == "kern.version") return haveNames ? nonEmpty(names.version) : std::nullopt;
  if (name == "kern.hostname") return haveNames ? nonEmpty(names.nodename) : std::nullopt;
  if (name == "hw.machine") return haveNames ? nonEmpty(names.machine) : std::nullopt;
  if (name == "hw.model") {
    for (const char* path : {"/sys/class/dmi/id/product_name", "/proc/device-tree/model"}) {
      if (std::optional<std::string> text = readSmallFile(path)) {
        if (std::optional<std::string> model = nonEmpty(trimmed(*text))) return model;
      }
    }
    return std::nullopt;
  }
  if (name == "hw.ncpu") return std::to_string(ProcessInfo::processorCount());
  if (name == "hw.memsize") return std::to_string(ProcessInfo::physicalMemory());
  return std::nullopt;
}

}  // namespace platform
