#include "sdk/analytics/tly_application.h"

#include <gtest/gtest.h>

#include "platform/system/bundle.h"
#include "sdk/analytics/tly_activity.h"
#include "sdk/platform/bcn_console.h"

namespace sdk {
namespace {

using platform::Value;

TEST(TLYApplicationTest, ReadsTheIdentityKeysOrAnswersAbsent) {
  TLYApplication app(Value::dictionary({{"CFBundleIdentifier", "com.varnelvpn.client"},
                                        {"CFBundleVersion", "200"},
                                        {"CFBundleShortVersionString", Value(12)}}));
  EXPECT_EQ(app.bundleIdentifier(), "com.varnelvpn.client");
  EXPECT_EQ(app.bundleVersion(), "200");
  EXPECT_EQ(app.shortVersionString(), std::nullopt);  // not text
  EXPECT_FALSE(app.isExtension());
  TLYApplication empty{Value()};
  EXPECT_EQ(empty.bundleIdentifier(), std::nullopt);
}

TEST(TLYApplicationTest, ExtensionsAreRecognisedAndMalformedEntriesReported) {
  BCNConsoleCapture console;
  TLYApplication extension(Value::dictionary(
      {{"NSExtension",
        Value::dictionary({{"NSExtensionPointIdentifier", "com.example.widget"}})}}));
  EXPECT_TRUE(extension.isExtension());
  EXPECT_EQ(extension.extensionPointIdentifier(), "com.example.widget");
  EXPECT_EQ(extension.appSharedInstance(), nullptr);
  EXPECT_TRUE(console.lines().empty());

  TLYApplication textEntry(Value::dictionary({{"NSExtension", "widget"}}));
  EXPECT_FALSE(textEntry.isExtension());
  EXPECT_TRUE(console.contains("Error: NSExtension Info.plist entry is mal-formed widget"));

  console.clear();
  TLYApplication noPoint(Value::dictionary({{"NSExtension", Value::dictionary({{"x", 1}})}}));
  EXPECT_FALSE(noPoint.isExtension());
  EXPECT_TRUE(console.contains("Error: NSExtensionPointIdentifier Info.plist entry is mal-formed"));
}

TEST(TLYApplicationTest, TheHostApplicationIsTheMainBundlesAndItsSharedObjectIsTheRegisteredOne) {
  auto info = Value::dictionary({{"CFBundleIdentifier", "com.varnelvpn.client"}});
  auto host =
      TLYActivity::sharedAppInstance(std::make_shared<platform::Bundle>("/x/client", "/x", info));
  EXPECT_EQ(host->bundleIdentifier(), "com.varnelvpn.client");
  EXPECT_EQ(host->appSharedInstance(), nullptr);
  auto application = std::make_shared<int>(1);
  TLYApplication::setSharedApplicationObject(application);
  EXPECT_EQ(host->appSharedInstance(), application);
  TLYApplication::setSharedApplicationObject(nullptr);
}

}  // namespace
}  // namespace sdk
