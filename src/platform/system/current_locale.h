// platform::CurrentLocale: the identifier of the user's current locale, in
// the platform's form ("en_US", "de_DE", "pt_BR", "sr_RS@latin" loses its
// modifier: "sr_RS").
//
// Linux source: the first non-empty of LC_ALL, LC_MESSAGES and LANG; the
// encoding (".UTF-8") and modifier ("@euro") are dropped. "C", "POSIX" and
// nothing set give "en_US_POSIX", the platform's name for the fixed,
// language-neutral locale.
//
// Thread safety: may be called from any thread, as long as no other thread
// changes the environment at the same time.
#pragma once

#include <string>

namespace platform {

class CurrentLocale {
 public:
  static std::string identifier();
  // The rule above applied to one locale name (tests).
  static std::string identifierForLocaleName(const std::string& name);
};

}  // namespace platform
