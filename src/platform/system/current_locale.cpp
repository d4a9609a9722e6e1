#include "platform/system/current_locale.h"

#include <cstdlib>

namespace platform {

std::string CurrentLocale::identifier() {
  for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(variable);
    if (value && *value) return identifierForLocaleName(value);
  }
  return identifierForLocaleName("");
}

std::string CurrentLocale::identifierForLocaleName(const std::string& name) {
  std::string id = name.substr(0, name.find_first_of(".@"));
  if (id.empty() || id == "C" || id == "POSIX") return "en_US_POSIX";
  for (char& c : id) {
    if (c == '-') c = '_';
  }
  return id;
}

}  // namespace platform
