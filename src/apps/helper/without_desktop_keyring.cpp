// The helper is a system service: it keeps its secrets in the System keychain
// (a root-only file, see platform/sysconfig/system_keychain.h) and has no
// desktop session, so it never reaches a desktop keyring. The keychain module
// it links for its status texts also holds the user's store, which prefers
// the Secret Service; these definitions stand in for that backend in this
// program, so that neither libsecret nor GLib, GObject and GIO (and what
// they load: libmount, libblkid, libselinux, PCRE2, libffi) are linked,
// loaded or initialised by the helper.
//
// Every call answers as the real backend does without a session bus:
// unreachable, and a store that fails without touching anything. If the
// program ever needs the real backend, the linker says so: its object then
// comes in beside these definitions and the link fails with duplicate
// symbols.
#include <optional>
#include <string>
#include <vector>

#include "platform/keychain/secret_service.h"

namespace platform::keychain::secret_service {

namespace {
constexpr const char* kNoKeyring = "no desktop keyring in the privileged helper";

void explain(std::string* reason) {
  if (reason) *reason = kNoKeyring;
}
}  // namespace

bool reachable(std::string* reason) {
  explain(reason);
  return false;
}

Status find(const std::optional<std::string>&, const std::optional<std::string>&,
            std::vector<Item>*, std::string* reason) {
  explain(reason);
  return kIO;
}

Status store(const std::string&, const std::string&, const Bytes&, std::string* reason) {
  explain(reason);
  return kIO;
}

Status remove(const std::string&, const std::string&, std::string* reason) {
  explain(reason);
  return kIO;
}

}  // namespace platform::keychain::secret_service
