// platform::ProcessInfo: facts about the running process and the machine:
// the operating system's version, the user's preferred languages, process
// name and id, host name, physical memory and processor count.
//
// Everything is read afresh on each call (the environment may change in
// tests), except the process name, which is fixed at first use.
//
// Thread safety: every function may be called from any thread, as long as
// no other thread changes the environment at the same time.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

struct OperatingSystemVersion {
  long majorVersion = 0;
  long minorVersion = 0;
  long patchVersion = 0;
};

class ProcessInfo {
 public:
  // "Version <os version> (Build <kernel release>)", for example
  // "Version 12 (Build 6.1.0-18-amd64)": the os-release VERSION_ID (else
  // VERSION, else the kernel's name) and uname's release. Plain ASCII.
  static std::string operatingSystemVersionString();
  // The numbers of the os-release VERSION_ID ("12" gives 12.0.0).
  static OperatingSystemVersion operatingSystemVersion();
  // Language tags in order of preference ("de-DE", "en"), from LANGUAGE
  // (a colon-separated list), else the first set of LC_ALL, LC_MESSAGES and
  // LANG. Encodings and modifiers are dropped, '_' becomes '-', "C" and
  // "POSIX" mean "en". Never empty: "en" when nothing is set.
  static std::vector<std::string> preferredLanguages();
  // The program's name (the last component of its executable path).
  static std::string processName();
  static pid_t processIdentifier();
  static std::string hostName();
  static std::uint64_t physicalMemory();   // bytes
  static unsigned processorCount();        // configured processors
  static unsigned activeProcessorCount();  // processors this process may run on

  // Reads os-release data from `text` (tests); the same rules as above.
  static std::string operatingSystemVersionStringFrom(const std::string& osRelease,
                                                      const std::string& kernelRelease);
  // The language-tag rules above applied to one locale name ("de_DE.UTF-8@euro"
  // gives "de-DE"); "" for an empty name.
  static std::string languageTagForLocale(const std::string& locale);
};

}  // namespace platform
