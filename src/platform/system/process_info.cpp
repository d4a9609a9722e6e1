#include "platform/system/process_info.h"

#include <sched.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <sstream>

#include "platform/system/file_util.h"

namespace platform {
namespace {

std::string osRelease() {
  for (const char* path : {"/etc/os-release", "/usr/lib/os-release"}) {
    if (auto text = files::readFile(path)) return *text;
  }
  return {};
}

// The value of `key` in os-release text (quotes removed); "" when absent.
std::string osReleaseField(const std::string& text, const std::string& key) {
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, key.size() + 1, key + "=") != 0) continue;
    std::string value = line.substr(key.size() + 1);
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    std::string out;
    for (std::size_t i = 0; i < value.size(); ++i) {
      if (value[i] == '\\' && i + 1 < value.size()) ++i;
      out += value[i];
    }
    return out;
  }
  return {};
}

std::string asciiOnly(const std::string& s) {
  std::string out;
  for (char c : s) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u < 0x7f) out += c;
  }
  return out;
}

struct utsname kernel() {
  struct utsname u {};
  ::uname(&u);
  return u;
}

}  // namespace

std::string ProcessInfo::operatingSystemVersionStringFrom(const std::string& text,
                                                          const std::string& kernelRelease) {
  std::string version = osReleaseField(text, "VERSION_ID");
  if (version.empty()) version = osReleaseField(text, "VERSION");
  if (version.empty()) version = kernel().sysname;
  return "Version " + asciiOnly(version) + " (Build " + asciiOnly(kernelRelease) + ")";
}

std::string ProcessInfo::operatingSystemVersionString() {
  return operatingSystemVersionStringFrom(osRelease(), kernel().release);
}

OperatingSystemVersion ProcessInfo::operatingSystemVersion() {
  std::string id = osReleaseField(osRelease(), "VERSION_ID");
  OperatingSystemVersion v;
  long* parts[] = {&v.majorVersion, &v.minorVersion, &v.patchVersion};
  std::size_t part = 0, i = 0;
  while (part < 3 && i < id.size()) {
    if (id[i] < '0' || id[i] > '9') break;
    long n = 0;
    while (i < id.size() && id[i] >= '0' && id[i] <= '9' && n < LONG_MAX / 10) {
      n = n * 10 + (id[i++] - '0');
    }
    *parts[part++] = n;
    if (i < id.size() && id[i] == '.') {
      ++i;
    } else {
      break;
    }
  }
  return v;
}

std::string ProcessInfo::languageTagForLocale(const std::string& locale) {
  std::string tag = locale.substr(0, locale.find_first_of(".@"));
  if (tag.empty()) return {};
  if (tag == "C" || tag == "POSIX") return "en";
  std::replace(tag.begin(), tag.end(), '_', '-');
  return tag;
}

std::vector<std::string> ProcessInfo::preferredLanguages() {
  std::vector<std::string> names;
  if (const char* language = std::getenv("LANGUAGE"); language && *language) {
    std::string list(language);
    std::size_t start = 0;
    while (start <= list.size()) {
      std::size_t colon = list.find(':', start);
      if (colon == std::string::npos) colon = list.size();
      names.push_back(list.substr(start, colon - start));
      start = colon + 1;
    }
  } else {
    for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
      if (const char* v = std::getenv(variable); v && *v) {
        names.emplace_back(v);
        break;
      }
    }
  }
  std::vector<std::string> tags;
  for (const std::string& name : names) {
    std::string tag = languageTagForLocale(name);
    if (!tag.empty() && std::find(tags.begin(), tags.end(), tag) == tags.end()) {
      tags.push_back(tag);
    }
  }
  if (tags.empty()) tags.push_back("en");
  return tags;
}

std::string ProcessInfo::processName() {
  static const std::string name = [] {
    char buffer[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n > 0) return files::lastComponent(std::string(buffer, static_cast<std::size_t>(n)));
    return std::string(program_invocation_short_name);
  }();
  return name;
}

pid_t ProcessInfo::processIdentifier() { return ::getpid(); }

std::string ProcessInfo::hostName() {
  char buffer[HOST_NAME_MAX + 1] = {};
  if (::gethostname(buffer, sizeof buffer - 1) != 0) return "localhost";
  return buffer;
}

std::uint64_t ProcessInfo::physicalMemory() {
  long pages = ::sysconf(_SC_PHYS_PAGES);
  long size = ::sysconf(_SC_PAGESIZE);
  if (pages <= 0 || size <= 0) return 0;
  return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(size);
}

unsigned ProcessInfo::processorCount() {
  long n = ::sysconf(_SC_NPROCESSORS_CONF);
  return n > 0 ? static_cast<unsigned>(n) : 1;
}

unsigned ProcessInfo::activeProcessorCount() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) == 0) {
    int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<unsigned>(n);
  }
  long n = ::sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<unsigned>(n) : 1;
}

}  // namespace platform
