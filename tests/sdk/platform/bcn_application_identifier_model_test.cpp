#include "sdk/platform/bcn_application_identifier_model.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/system/bundle.h"
#include "sdk/platform/bcn_encoding.h"
#include "sdk/platform/bcn_icon.h"
#include "support/temp_root.h"

namespace sdk {
namespace {

using Bytes = std::vector<std::uint8_t>;

void put32(Bytes& b, std::uint32_t v) {  // host (little-endian) order
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void put32BE(Bytes& b, std::uint32_t v) {
  for (int i = 3; i >= 0; --i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

Bytes uuidBytes(std::uint8_t first) {
  Bytes u;
  for (int i = 0; i < 16; ++i) u.push_back(static_cast<std::uint8_t>(first + i));
  return u;
}

// A thin Mach-O image: header, LC_UUID (unless uuid is empty) and an optional
// version-min command (cmd, version, sdk).
struct VersionMin {
  std::uint32_t cmd, version, sdk;
};
Bytes machO(bool is64, int cputype, int cpusubtype, const Bytes& uuid,
            std::vector<VersionMin> versions = {}) {
  Bytes commands;
  std::uint32_t ncmds = 0;
  if (!uuid.empty()) {
    put32(commands, 0x1b);
    put32(commands, 24);
    commands.insert(commands.end(), uuid.begin(), uuid.end());
    ++ncmds;
  }
  for (const VersionMin& v : versions) {
    put32(commands, v.cmd);
    put32(commands, 16);
    put32(commands, v.version);
    put32(commands, v.sdk);
    ++ncmds;
  }
  Bytes out;
  put32(out, is64 ? 0xfeedfacf : 0xfeedface);
  put32(out, static_cast<std::uint32_t>(cputype));
  put32(out, static_cast<std::uint32_t>(cpusubtype));
  put32(out, 2);  // MH_EXECUTE
  put32(out, ncmds);
  put32(out, static_cast<std::uint32_t>(commands.size()));
  put32(out, 0);
  if (is64) put32(out, 0);
  out.insert(out.end(), commands.begin(), commands.end());
  return out;
}

Bytes fat(const std::vector<std::pair<std::pair<int, int>, Bytes>>& slices) {
  Bytes out;
  put32BE(out, 0xcafebabe);
  put32BE(out, static_cast<std::uint32_t>(slices.size()));
  std::uint32_t offset = 4096;
  std::vector<std::uint32_t> offsets;
  for (const auto& [cpu, bytes] : slices) {
    put32BE(out, static_cast<std::uint32_t>(cpu.first));
    put32BE(out, static_cast<std::uint32_t>(cpu.second));
    put32BE(out, offset);
    put32BE(out, static_cast<std::uint32_t>(bytes.size()));
    put32BE(out, 12);
    offsets.push_back(offset);
    offset += 4096;
  }
  for (std::size_t i = 0; i < slices.size(); ++i) {
    out.resize(offsets[i], 0);
    out.insert(out.end(), slices[i].second.begin(), slices[i].second.end());
  }
  return out;
}

class BCNApplicationIdentiferModelTest : public varnel::testing::TempRootTest {
 protected:
  std::string write(const std::string& name, const Bytes& bytes) {
    const std::string path = root().file(name);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return path;
  }
  static std::string hex(const Bytes& b) { return BCNUUIDHexString(b.data()); }
};

constexpr int kX86_64 = 0x01000007;
constexpr int kI386 = 7;

TEST_F(BCNApplicationIdentiferModelTest, FatFileGivesEverySliceAndSortedInstanceIdentifier) {
  const Bytes u1 = uuidBytes(0x10), u2 = uuidBytes(0xa0);
  const std::string path = write("fat", fat({{{kX86_64, 3}, machO(true, kX86_64, 3, u1)},
                                             {{kI386, 3}, machO(false, kI386, 3, u2)}}));
  const auto model = BCNApplicationIdentiferModel::initWithInstallID("INSTALL-ID", path);
  ASSERT_TRUE(model);
  EXPECT_EQ(model->installID(), "INSTALL-ID");
  const std::map<std::string, std::string> expected{{"x86_64", hex(u1)}, {"i386", hex(u2)}};
  EXPECT_EQ(model->architectureUUIDMap(), expected);
  // "i386" sorts before "x86_64": its UUID comes first.
  EXPECT_EQ(model->instanceIdentifier(), BCNSHA1HexStringFromData(hex(u2) + hex(u1)));
  EXPECT_EQ(model->instanceIdentifier().size(), 40u);
}

TEST_F(BCNApplicationIdentiferModelTest, VersionsComeFromTheLastVersionCommand) {
  const std::string path =
      write("thin", machO(true, kX86_64, 3, uuidBytes(1),
                          {{0x24, 0x000A0900, 0x000A0A00}, {0x24, 0x000A0C01, 0x000A0D02}}));
  const auto model = BCNApplicationIdentiferModel::initWithInstallID("id", path);
  ASSERT_TRUE(model);
  EXPECT_EQ(model->minimumSDKString(), "10.12.1");
  EXPECT_EQ(model->builtSDKString(), "10.13.2");
  EXPECT_EQ(model->minimumSDK(), (CTRMachOVersion{10, 12, 1}));
  // tvOS/watchOS version commands do not count.
  const auto other = BCNApplicationIdentiferModel::initWithInstallID(
      "id", write("tv", machO(true, kX86_64, 3, {}, {{0x2f, 0x00010000, 0x00020000}})));
  ASSERT_TRUE(other);
  EXPECT_EQ(other->minimumSDKString(), "0.0.0");
}

TEST_F(BCNApplicationIdentiferModelTest, SliceWithoutUUIDIsLeftOutOfTheMap) {
  const auto model = BCNApplicationIdentiferModel::initWithInstallID(
      "id", write("nouuid", machO(true, kX86_64, 3, {})));
  ASSERT_TRUE(model);
  EXPECT_TRUE(model->architectureUUIDMap().empty());
  EXPECT_EQ(model->instanceIdentifier(), BCNSHA1HexStringFromData(std::string()));
}

TEST_F(BCNApplicationIdentiferModelTest, UnreadableExecutableGivesNoModel) {
  EXPECT_FALSE(BCNApplicationIdentiferModel::initWithInstallID("id", root().file("missing")));
  EXPECT_FALSE(BCNApplicationIdentiferModel::initWithInstallID("id", write("short", Bytes(15, 1))));
  EXPECT_FALSE(BCNApplicationIdentiferModel::initWithInstallID("id", root().path()));
}

TEST_F(BCNApplicationIdentiferModelTest, RunningExecutableHasAnIdentity) {
  const auto model = BCNApplicationIdentiferModel::initWithInstallID("id");
  ASSERT_TRUE(model);
  EXPECT_EQ(model->instanceIdentifier().size(), 40u);
  EXPECT_EQ(model->instanceIdentifier(), BCNApplicationIdentiferModel::instanceIdentifierForUUIDMap(
                                             model->architectureUUIDMap()));
  for (const auto& [arch, uuid] : model->architectureUUIDMap()) {
    EXPECT_EQ(uuid.size(), 32u) << arch;
    EXPECT_EQ(uuid.find_first_not_of("0123456789abcdef"), std::string::npos) << uuid;
  }
  // Stable across reads within one build of the program.
  EXPECT_EQ(BCNApplicationIdentiferModel::initWithInstallID("other")->instanceIdentifier(),
            model->instanceIdentifier());
}

// A PNG as far as its IHDR chunk.
Bytes png(std::uint32_t width, std::uint32_t height) {
  Bytes b{0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  put32BE(b, 13);
  for (char c : std::string("IHDR")) b.push_back(static_cast<std::uint8_t>(c));
  put32BE(b, width);
  put32BE(b, height);
  for (int i = 0; i < 9; ++i) b.push_back(0);
  return b;
}

TEST_F(BCNApplicationIdentiferModelTest, IconComesFromTheBundlesIconFile) {
  const std::string resources = root().file("");
  const Bytes image = png(64, 32);
  write("AppIcon.png", image);
  const auto bundle = std::make_shared<platform::Bundle>(
      root().file("app"), resources,
      platform::Value::dictionary(
          {{"CFBundleIdentifier", "com.example/app"}, {"CFBundleIconFile", "AppIcon"}}));
  const auto model = BCNApplicationIdentiferModel::initWithInstallID(
      "id", write("thin", machO(true, kX86_64, 3, uuidBytes(3))), bundle);
  ASSERT_TRUE(model);
  EXPECT_EQ(model->bundleIdentifier(), "com.example_app");
  ASSERT_TRUE(model->icon());
  EXPECT_EQ(model->icon()->data(), image);
  EXPECT_EQ(model->icon()->dataHash(), BCNSHA1HexStringFromBytes(image.data(), image.size()));
  EXPECT_EQ(model->icon()->size().width, 64);
  EXPECT_EQ(model->icon()->size().height, 32);
  EXPECT_TRUE(model->icon()->prerendered());

  // No icon file named, a name reaching outside the resources, or no PNG.
  for (const char* name : {"", "../AppIcon.png", "thin"}) {
    EXPECT_FALSE(BCNAppIconUtility(std::make_shared<platform::Bundle>(
                                       root().file("app"), resources,
                                       platform::Value::dictionary({{"CFBundleIconFile", name}})))
                     .applicationIcon())
        << name;
  }
}

TEST(BCNIconTest, SurfaceArea) {
  const auto icon = BCNIcon::initWithData(png(1, 1), BCNIconSize{1024, 1024});
  EXPECT_EQ(icon->surfaceArea(), 1024.0 * 1024.0);
  EXPECT_TRUE(icon->isWithinMaxSurfaceArea());
  EXPECT_FALSE(BCNIcon::initWithData({}, BCNIconSize{1024, 1025})->isWithinMaxSurfaceArea());
  EXPECT_TRUE(icon->largerThanSize({1023, 1024}));
  EXPECT_FALSE(icon->largerThanSize({1024, 1024}));
  EXPECT_FALSE(BCNIcon::initWithData({1, 2}, BCNIconSize{1, 1}, false)->prerendered());
  EXPECT_FALSE(BCNIcon::initWithImage(Bytes{1, 2, 3}));
  EXPECT_FALSE(BCNIcon::initWithImage(png(0, 5)));
}

}  // namespace
}  // namespace sdk
