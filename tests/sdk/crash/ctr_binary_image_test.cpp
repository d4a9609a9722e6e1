#include "sdk/crash/capture/ctr_binary_image.h"

#include <dlfcn.h>
#include <elf.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "crash_context_fixture.h"
#include "platform/dispatch/dispatch.h"
#include "platform/system/executable_image.h"
#include "platform/system/loaded_images.h"
#include "platform/system/property_list.h"
#include "sdk/crash/capture/ctr_context_init.h"
#include "sdk/crash/capture/ctr_file.h"

namespace sdk {
namespace {

namespace fs = std::filesystem;
using platform::LoadedImage;
using platform::LoadedImages;
using platform::Value;

std::uintptr_t addressOf(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

int localFunction() { return 7; }

// A made-up image at `header` spanning `size` bytes (nothing is mapped
// there; the table only stores numbers).
LoadedImage fakeImage(std::uintptr_t header, std::uint64_t size, const std::string& path = {}) {
  LoadedImage image;
  image.header = header;
  image.slide = static_cast<std::intptr_t>(header);
  image.path = path;
  image.segments.push_back({PT_LOAD, PF_R | PF_X, 0, 0, size, size});
  image.segments.push_back({PT_GNU_EH_FRAME, PF_R, 0x100, 0x100, 0x10, 0x10});
  image.buildID = {0xde, 0xad, 0xbe, 0xef};
  return image;
}

class BinaryImageTest : public testing::CrashContextTest {
 protected:
  void SetUp() override {
    CrashContextTest::SetUp();
    imageLogPath_ = root().file("binary_images.clsrecord");
    context_.binaryImageLogPath = imageLogPath_.c_str();
    context_.initialized = true;
    state_.binaryImageLogFile.descriptor = -1;
    ctrBinaryImagesQueue = platform::dispatch::Queue::createSerial(kCTRBinaryImagesQueueLabel);
  }

  void TearDown() override {
    CTRBinaryImageStopObserving();
    drain();
    ctrBinaryImagesQueue.reset();
    CrashContextTest::TearDown();
  }

  void drain() {
    if (ctrBinaryImagesQueue) ctrBinaryImagesQueue->sync([] {});
  }

  // The log's sections named `name`, in file order.
  std::vector<Value> sections(const std::string& name) {
    drain();
    std::vector<Value> out;
    const Value all = CTRFileReadSections(imageLogPath_.c_str(), false);
    for (std::size_t i = 0; i < all.count(); ++i) {
      const Value section = all[i][name];
      if (section.isDictionary()) out.push_back(section);
    }
    return out;
  }

  const CTRBinaryImageEntry* liveEntryWithBase(std::uint64_t base) const {
    for (const auto& e : state_.binaryImages) {
      if (e.base == base && e.size != 0) return &e;
    }
    return nullptr;
  }
  std::size_t entriesWithBase(std::uint64_t base) const {
    std::size_t n = 0;
    for (const auto& e : state_.binaryImages) n += e.base == base;
    return n;
  }

  // Whether `keys` appear in this order in the raw line that holds
  // `marker` (the parsed dictionaries do not keep the order).
  static bool keysInOrder(const std::string& text, const std::string& marker,
                          const std::vector<std::string>& keys) {
    const std::size_t at = text.find(marker);
    if (at == std::string::npos) return false;
    const std::size_t newline = text.rfind('\n', at);
    const std::size_t lineStart = newline == std::string::npos ? 0 : newline + 1;
    const std::string line = text.substr(lineStart, text.find('\n', at) - lineStart);
    std::size_t previous = 0;
    for (const auto& key : keys) {
      const std::size_t p = line.find("\"" + key + "\":");
      if (p == std::string::npos || p < previous) return false;
      previous = p;
    }
    return true;
  }

  std::string imageLogPath_;
};

TEST_F(BinaryImageTest, InitFillsTableAndLogForTheRunningProcess) {
  CTRBinaryImageInit();
  const auto images = LoadedImages::list();

  // The program, libc and libstdc++, each found by a function inside it.
  const void* functions[] = {reinterpret_cast<const void*>(&localFunction),
                             ::dlsym(RTLD_DEFAULT, "gnu_get_libc_version"),
                             ::dlsym(RTLD_DEFAULT, "_ZSt9terminatev")};
  for (const void* function : functions) {
    ASSERT_NE(nullptr, function);
    CTRBinaryImageEntry entry{};
    ASSERT_TRUE(CTRBinaryImageSafeFindImageForAddress(addressOf(function), &entry));
    const LoadedImage* image = nullptr;
    for (const auto& i : images) {
      if (i.contains(addressOf(function))) image = &i;
    }
    ASSERT_NE(nullptr, image);
    EXPECT_EQ(image->header, entry.base);
    EXPECT_EQ(image->size(), entry.size);
    EXPECT_EQ(image->ehFrameHeader(), entry.ehFrame);
    EXPECT_NE(0u, entry.ehFrame) << image->path;
    EXPECT_EQ(0u, entry.unwindInfo);
    EXPECT_EQ(0u, entry.crashInfo);
    EXPECT_FALSE(CTRBinaryImageHasCompactUnwindInfo(&entry));
  }

  // One "load" line per image, with the fields in order, no "unload".
  const auto loads = sections("load");
  ASSERT_EQ(images.size(), loads.size());
  EXPECT_TRUE(sections("unload").empty());
  const Value& first = loads.front();
  EXPECT_EQ(images.front().path, first["path"].asString());
  EXPECT_EQ(images.front().uuidString(), first["uuid"].asString());
  EXPECT_EQ(platform::ExecutableImage::running()->uuid().lowerHex(), first["uuid"].asString());
  EXPECT_EQ(images.front().header, first["base"].asUInt64());
  EXPECT_EQ(images.front().size(), first["size"].asUInt64());
  EXPECT_EQ(4u, first.count());
  EXPECT_TRUE(keysInOrder(readFile(imageLogPath_), "{\"load\":{\"path\"",
                          {"path", "uuid", "base", "size"}));
  EXPECT_FALSE(first.contains("bundle_id"));

  // The log is closed after start-up; a second start-up starts it afresh.
  drain();
  EXPECT_EQ(-1, state_.binaryImageLogFile.descriptor);
  CTRBinaryImageInit();
  EXPECT_EQ(images.size(), sections("load").size());
}

TEST_F(BinaryImageTest, AddressLookupBoundsAndGuards) {
  CTRBinaryImageAdded(fakeImage(0x7000000000, 0x3000));
  CTRBinaryImageEntry entry{};
  EXPECT_TRUE(CTRBinaryImageSafeFindImageForAddress(0x7000000000, &entry));
  EXPECT_EQ(0x7000000000u, entry.base);
  EXPECT_EQ(0x3000u, entry.size);
  EXPECT_EQ(0x7000000100u, entry.ehFrame);
  EXPECT_TRUE(CTRBinaryImageSafeFindImageForAddress(0x7000002fff, &entry));
  EXPECT_FALSE(CTRBinaryImageSafeFindImageForAddress(0x7000003000, &entry));  // one past the end
  EXPECT_FALSE(CTRBinaryImageSafeFindImageForAddress(0x6fffffffff, &entry));
  EXPECT_FALSE(CTRBinaryImageSafeFindImageForAddress(0, &entry));
  EXPECT_FALSE(CTRBinaryImageSafeFindImageForAddress(0x7000000000, nullptr));
  EXPECT_FALSE(CTRBinaryImageSafeFindImageForAddress(0x7000000000,
                                                     reinterpret_cast<CTRBinaryImageEntry*>(16)));
  context_.initialized = false;
  EXPECT_FALSE(CTRBinaryImageSafeFindImageForAddress(0x7000000000, &entry));
  context_.initialized = true;

  // Heap memory belongs to no image.
  auto heap = std::make_unique<char[]>(64);
  CTRBinaryImageInit();
  EXPECT_FALSE(CTRBinaryImageSafeFindImageForAddress(addressOf(heap.get()), &entry));

  CTRBinaryImageEntry compact{};
  compact.unwindInfo = 4096;
  EXPECT_TRUE(CTRBinaryImageHasCompactUnwindInfo(&compact));
  compact.unwindInfo = 4095;
  EXPECT_FALSE(CTRBinaryImageHasCompactUnwindInfo(&compact));
  EXPECT_FALSE(CTRBinaryImageHasCompactUnwindInfo(nullptr));
}

TEST_F(BinaryImageTest, DlopenAndDlcloseAreTrackedAndLogged) {
  CTRBinaryImageInit();
  const std::size_t initialLoads = sections("load").size();

  void* handle = ::dlopen(VARNEL_TEST_LOADABLE, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(nullptr, handle) << ::dlerror();
  const void* symbol = ::dlsym(handle, "varnel_test_loadable_add");
  ASSERT_NE(nullptr, symbol);
  LoadedImages::refresh();

  CTRBinaryImageEntry entry{};
  ASSERT_TRUE(CTRBinaryImageSafeFindImageForAddress(addressOf(symbol), &entry));
  const std::uint64_t base = entry.base;
  const auto loads = sections("load");
  ASSERT_EQ(initialLoads + 1, loads.size());
  std::error_code ec;
  EXPECT_TRUE(fs::equivalent(loads.back()["path"].asString(), VARNEL_TEST_LOADABLE, ec));
  EXPECT_EQ(base, loads.back()["base"].asUInt64());
  EXPECT_EQ(32u, loads.back()["uuid"].asString().size());

  // Found by its UUID while loaded.
  CTRBinaryImageDetails details;
  ASSERT_TRUE(CTRBinaryImageFindImageForUUID(loads.back()["uuid"].asString().c_str(), &details));
  EXPECT_EQ(base, details.node.base);

  ASSERT_EQ(0, ::dlclose(handle));
  LoadedImages::refresh();
  EXPECT_FALSE(CTRBinaryImageSafeFindImageForAddress(addressOf(symbol), &entry));
  EXPECT_EQ(1u, entriesWithBase(base));  // still taken, never reused
  EXPECT_EQ(nullptr, liveEntryWithBase(base));
  const auto unloads = sections("unload");
  ASSERT_EQ(1u, unloads.size());
  EXPECT_EQ(base, unloads.front()["base"].asUInt64());
  EXPECT_EQ(loads.back()["uuid"].asString(), unloads.front()["uuid"].asString());
  EXPECT_EQ(loads.back()["path"].asString(), unloads.front()["path"].asString());
  EXPECT_FALSE(CTRBinaryImageFindImageForUUID(loads.back()["uuid"].asString().c_str(), &details));
}

TEST_F(BinaryImageTest, ALibraryLoadedJustBeforeACrashJoinsTheTableAtCrashTime) {
  CTRBinaryImageInit();
  drain();
  // No rescan will find it: as if the crash came right after its dlopen.
  const auto interval = LoadedImages::rescanInterval();
  LoadedImages::setRescanInterval(std::chrono::hours(1));
  const std::size_t initialLoads = sections("load").size();
  void* handle = ::dlopen(VARNEL_TEST_LOADABLE, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(nullptr, handle) << ::dlerror();
  const void* symbol = ::dlsym(handle, "varnel_test_loadable_add");
  CTRBinaryImageEntry entry{};
  EXPECT_FALSE(CTRBinaryImageSafeFindImageForAddress(addressOf(symbol), &entry));

  EXPECT_EQ(1, CTRBinaryImageSafeRecordLateImages());
  ASSERT_TRUE(CTRBinaryImageSafeFindImageForAddress(addressOf(symbol), &entry));
  EXPECT_NE(0u, entry.ehFrame);
  const auto loads = sections("load");
  ASSERT_EQ(initialLoads + 1, loads.size());
  std::error_code ec;
  EXPECT_TRUE(fs::equivalent(loads.back()["path"].asString(), VARNEL_TEST_LOADABLE, ec));
  EXPECT_EQ(entry.base, loads.back()["base"].asUInt64());
  EXPECT_EQ(entry.size, loads.back()["size"].asUInt64());
  // The same identity the loader callbacks give it.
  CTRBinaryImageDetails details;
  ASSERT_TRUE(CTRBinaryImageFindImageForUUID(loads.back()["uuid"].asString().c_str(), &details));
  EXPECT_EQ(entry.base, details.node.base);
  // A second pass finds nothing new.
  EXPECT_EQ(0, CTRBinaryImageSafeRecordLateImages());

  LoadedImages::setRescanInterval(interval);
  ASSERT_EQ(0, ::dlclose(handle));
  LoadedImages::refresh();
}

TEST_F(BinaryImageTest, ReloadAtTheSameAddressIsClearedByItsOwnUnload) {
  const LoadedImage image = fakeImage(0x6000000000, 0x1000);
  CTRBinaryImageAdded(image);
  CTRBinaryImageRemoved(image);
  CTRBinaryImageAdded(image);  // the same library mapped at the same place again
  CTRBinaryImageEntry entry{};
  EXPECT_TRUE(CTRBinaryImageSafeFindImageForAddress(0x6000000800, &entry));
  CTRBinaryImageRemoved(image);
  EXPECT_FALSE(CTRBinaryImageSafeFindImageForAddress(0x6000000800, &entry));
  EXPECT_EQ(2u, entriesWithBase(0x6000000000));
  EXPECT_EQ(nullptr, liveEntryWithBase(0x6000000000));
  EXPECT_EQ(2u, sections("load").size());
  EXPECT_EQ(2u, sections("unload").size());

  // An unload of an image that is not in the table is logged.
  CTRBinaryImageRemoved(fakeImage(0x5000000000, 0x1000));
  EXPECT_NE(std::string::npos, sdkLog().find("Error: Unable to track a unloaded node 0x5000000000"))
      << sdkLog();
}

TEST_F(BinaryImageTest, FullTableWarnsAndStillLogs) {
  for (int i = 0; i < kCTRBinaryImageCount + 1; ++i) {
    CTRBinaryImageAdded(fakeImage(0x10000000 + static_cast<std::uintptr_t>(i) * 0x10000, 0x1000));
  }
  for (const auto& e : state_.binaryImages) EXPECT_NE(0u, e.base);
  const std::uint64_t last = 0x10000000 + std::uint64_t{kCTRBinaryImageCount} * 0x10000;
  EXPECT_EQ(0u, entriesWithBase(last));
  CTRBinaryImageEntry entry{};
  EXPECT_FALSE(CTRBinaryImageSafeFindImageForAddress(last, &entry));
  EXPECT_TRUE(CTRBinaryImageSafeFindImageForAddress(last - 0x10000, &entry));
  EXPECT_NE(std::string::npos, sdkLog().find("Error: Unable to track a loaded node"));
  EXPECT_EQ(static_cast<std::size_t>(kCTRBinaryImageCount) + 1, sections("load").size());
}

TEST_F(BinaryImageTest, ConcurrentLoadsClaimDistinctEntries) {
  constexpr int kPerThread = 200;
  auto load = [](std::uintptr_t start) {
    for (int i = 0; i < kPerThread; ++i) {
      CTRBinaryImageAdded(fakeImage(start + static_cast<std::uintptr_t>(i) * 0x10000, 0x1000));
    }
  };
  std::thread a(load, 0x100000000);
  std::thread b(load, 0x200000000);
  a.join();
  b.join();
  std::set<std::uint64_t> bases;
  for (const auto& e : state_.binaryImages) {
    if (e.base != 0) {
      EXPECT_TRUE(bases.insert(e.base).second);
      EXPECT_EQ(0x1000u, e.size);
    }
  }
  EXPECT_EQ(2u * kPerThread, bases.size());
}

TEST_F(BinaryImageTest, FindImageForUUID) {
  const auto program = LoadedImages::list().front();
  const std::string uuid = program.uuidString();
  ASSERT_EQ(32u, uuid.size());
  CTRBinaryImageDetails details;
  ASSERT_TRUE(CTRBinaryImageFindImageForUUID(uuid.c_str(), &details));
  EXPECT_EQ(uuid, details.uuid);
  EXPECT_EQ(program.header, details.node.base);
  EXPECT_EQ(program.size(), details.node.size);
  EXPECT_EQ(program.path, details.path);
  EXPECT_EQ(program.slide, details.slide);

  EXPECT_FALSE(CTRBinaryImageFindImageForUUID(std::string(32, '0').c_str(), &details));
  EXPECT_FALSE(CTRBinaryImageFindImageForUUID("", &details));
  EXPECT_FALSE(CTRBinaryImageFindImageForUUID(uuid.substr(0, 31).c_str(), &details));
  EXPECT_FALSE(CTRBinaryImageFindImageForUUID(nullptr, &details));
  EXPECT_FALSE(CTRBinaryImageFindImageForUUID(uuid.c_str(), nullptr));
  EXPECT_NE(std::string::npos, sdkLog().find("null input"));
}

TEST_F(BinaryImageTest, ExecutableSectionOfTheMetadataRecord) {
  const std::string path = root().file("metadata.clsrecord");
  CTRFile file{};
  ASSERT_TRUE(CTRFileInit(&file, path.c_str(), false));
  EXPECT_TRUE(CTRBinaryImageRecordMainExecutable(&file));
  CTRFileClose(&file);

  const Value all = CTRFileReadSections(path.c_str(), false);
  ASSERT_EQ(1u, all.count());
  const Value executable = all[0]["executable"];
  ASSERT_TRUE(executable.isDictionary());
  EXPECT_EQ(7u, executable.count());
  EXPECT_TRUE(keysInOrder(readFile(path), "{\"executable\":",
                          {"architecture", "uuid", "base", "size", "encrypted",
                           "minimum_sdk_version", "built_sdk_version"}));
  const auto elf = platform::ExecutableImage::running();
  const auto program = LoadedImages::list().front();
  EXPECT_EQ(elf->architectureName(), executable["architecture"].asString());
  EXPECT_EQ(elf->uuid().lowerHex(), executable["uuid"].asString());
  EXPECT_EQ(program.header, executable["base"].asUInt64());
  EXPECT_EQ(program.size(), executable["size"].asUInt64());
  EXPECT_TRUE(executable["encrypted"].isBool());
  EXPECT_FALSE(executable["encrypted"].asBool());
  const auto version = [](const platform::ExecutableImage::Version& v) {
    return std::to_string(v.major) + "." + std::to_string(v.minor) + "." + std::to_string(v.patch);
  };
  EXPECT_EQ(version(elf->minimumOSVersion()), executable["minimum_sdk_version"].asString());
  EXPECT_EQ(version(elf->linkedLibraryVersion()), executable["built_sdk_version"].asString());

  // Without an open file only the SDK log hears of it.
  CTRFile closed{};
  closed.descriptor = -1;
  EXPECT_TRUE(CTRBinaryImageRecordMainExecutable(&closed));
  EXPECT_NE(std::string::npos, sdkLog().find("Error: file is invalid"));
}

TEST_F(BinaryImageTest, FrameworkBundleFieldsAndUnsafePathCharacters) {
  CTRBinaryImageInit();
  // A library inside a framework directory with an information file.
  const fs::path framework = root().file("Kit.framework");
  fs::create_directories(framework / "Versions" / "A");
  fs::create_directories(framework / "Resources");
  const fs::path binary = framework / "Versions" / "A" / "Kit";
  fs::copy_file(VARNEL_TEST_LOADABLE, binary);
  ASSERT_TRUE(
      platform::plist::writeFile((framework / "Resources" / "Info.plist").string(),
                                 Value::dictionary({{"CFBundleIdentifier", "com.varnelvpn.kit"},
                                                    {"CFBundleVersion", "77"},
                                                    {"CFBundleShortVersionString", ""}})));
  // A library whose path holds a quote and a backslash.
  const fs::path odd = fs::path(root().file("we\"i\\rd")) / "libodd.so";
  fs::create_directories(odd.parent_path());
  fs::copy_file(VARNEL_TEST_LOADABLE, odd);

  void* kit = ::dlopen(binary.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(nullptr, kit) << ::dlerror();
  void* oddHandle = ::dlopen(odd.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(nullptr, oddHandle) << ::dlerror();
  LoadedImages::refresh();

  const auto loads = sections("load");
  const Value* kitLine = nullptr;
  const Value* oddLine = nullptr;
  for (const auto& line : loads) {
    if (line["path"].asString() == binary.string()) kitLine = &line;
    if (line["path"].asString().ends_with("/libodd.so")) oddLine = &line;
  }
  ASSERT_NE(nullptr, kitLine);
  EXPECT_EQ("com.varnelvpn.kit", (*kitLine)["bundle_id"].asString());
  EXPECT_EQ("77", (*kitLine)["build_version"].asString());
  EXPECT_FALSE(kitLine->contains("display_version"));  // empty: left out
  EXPECT_TRUE(keysInOrder(readFile(imageLogPath_), "Kit.framework",
                          {"path", "bundle_id", "build_version", "uuid", "base", "size"}));
  ASSERT_NE(nullptr, oddLine) << "the line with the odd path must still parse";
  EXPECT_EQ(root().file("we?i?rd") + "/libodd.so", (*oddLine)["path"].asString());
  EXPECT_FALSE(oddLine->contains("bundle_id"));

  ::dlclose(kit);
  ::dlclose(oddHandle);
  LoadedImages::refresh();
  const auto unloads = sections("unload");
  ASSERT_EQ(2u, unloads.size());
  for (const auto& line : unloads) EXPECT_FALSE(line.contains("bundle_id"));
}

}  // namespace
}  // namespace sdk
