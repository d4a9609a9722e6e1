// The VarnelHelper program loads only what it uses. It speaks no TLS and
// has no desktop session, yet libraries it links hold a TLS engine and a
// desktop keyring backend; the program is linked without them, so OpenSSL,
// libsecret and GLib (and what they load in turn) are neither loaded nor
// initialised in the helper. The list comes from the dynamic loader itself
// (LD_TRACE_LOADED_OBJECTS, what ldd reads), without starting the service,
// and the program still starts and answers a plain run.
#include <gtest/gtest.h>

#include <string>

#include "support/shell.h"

namespace {

using varnel::testing::contains;
using varnel::testing::runShell;

TEST(HelperProgramLibraries, NoTLSNoDesktopKeyringNoHTTPClient) {
  const auto loaded =
      runShell(std::string("LD_TRACE_LOADED_OBJECTS=1 '") + VARNEL_HELPER_PATH + "' 2>&1");
  ASSERT_EQ(loaded.status, 0) << loaded.output;
  // What the helper does use is there: the list is the real one.
  EXPECT_TRUE(contains(loaded.output, "libsystemd.so")) << loaded.output;
  EXPECT_TRUE(contains(loaded.output, "libexpat.so")) << loaded.output;
  for (const char* library : {"libssl.so", "libcrypto.so", "libsecret-1.so", "libglib-2.0.so",
                              "libgobject-2.0.so", "libgio-2.0.so", "libcurl.so", "libQt6"}) {
    EXPECT_FALSE(contains(loaded.output, library)) << library << " in\n" << loaded.output;
  }

  const auto info = runShell(std::string("'") + VARNEL_HELPER_PATH + "' --info-plist");
  EXPECT_EQ(info.status, 0);
  EXPECT_TRUE(contains(info.output, "<plist")) << info.output;
}

}  // namespace
