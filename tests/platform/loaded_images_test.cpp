#include "platform/system/loaded_images.h"

#include <dlfcn.h>
#include <elf.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/system/executable_image.h"
#include "support/wait.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

std::uintptr_t addressOf(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

const LoadedImage* imageContaining(const std::vector<LoadedImage>& images, std::uintptr_t address) {
  for (const auto& image : images) {
    if (image.contains(address)) return &image;
  }
  return nullptr;
}

bool samePath(const std::string& a, const std::string& b) {
  std::error_code ec;
  return fs::equivalent(a, b, ec);
}

int localFunction() { return 42; }

// Collects what an observer is told.
struct Recorder {
  std::mutex mutex;
  std::vector<LoadedImage> added;
  std::vector<LoadedImage> removed;
  std::vector<std::string> order;  // "+path" / "-path"

  LoadedImages::Token observe() {
    return LoadedImages::addObserver(
        [this](const LoadedImage& image) {
          std::lock_guard lock(mutex);
          added.push_back(image);
          order.push_back("+" + image.path);
        },
        [this](const LoadedImage& image) {
          std::lock_guard lock(mutex);
          removed.push_back(image);
          order.push_back("-" + image.path);
        });
  }
  std::size_t addedMatching(const std::string& path) {
    std::lock_guard lock(mutex);
    std::size_t n = 0;
    for (const auto& image : added) n += samePath(image.path, path) ? 1 : 0;
    return n;
  }
  std::size_t removedMatching(const std::string& path) {
    std::lock_guard lock(mutex);
    std::size_t n = 0;
    for (const auto& image : removed) n += image.path == path || samePath(image.path, path);
    return n;
  }
};

TEST(LoadedImagesTest, ListHoldsProgramAndLibrariesWithTheirFacts) {
  const auto images = LoadedImages::list();
  ASSERT_FALSE(images.empty());

  // The program: first, marked, its resolved path, its build-id.
  const LoadedImage& program = images.front();
  EXPECT_TRUE(program.isMainProgram);
  EXPECT_EQ(1, std::count_if(images.begin(), images.end(),
                             [](const LoadedImage& i) { return i.isMainProgram; }));
  char exe[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
  ASSERT_GT(n, 0);
  EXPECT_EQ(std::string(exe, static_cast<std::size_t>(n)), program.path);
  EXPECT_TRUE(program.contains(addressOf(reinterpret_cast<const void*>(&localFunction))));
  EXPECT_EQ(0, std::memcmp(reinterpret_cast<const void*>(program.header), ELFMAG, SELFMAG));
  const auto elf = ExecutableImage::running();
  ASSERT_TRUE(elf);
  EXPECT_EQ(elf->buildID(), program.buildID);
  EXPECT_EQ(elf->uuid().lowerHex(), program.uuidString());
  EXPECT_NE(0u, program.ehFrameHeader());
  EXPECT_TRUE(program.contains(program.ehFrameHeader()));
  EXPECT_FALSE(program.contains(program.header + program.size()));
  EXPECT_FALSE(program.contains(program.header - 1));

  // libc and libstdc++, found by the address of a function in each (ones
  // that sanitizer runtimes do not replace).
  const void* libcFunction = dlsym(RTLD_DEFAULT, "gnu_get_libc_version");
  ASSERT_NE(nullptr, libcFunction);
  const LoadedImage* libc = imageContaining(images, addressOf(libcFunction));
  ASSERT_NE(nullptr, libc);
  EXPECT_NE(std::string::npos, libc->path.find("libc.so")) << libc->path;
  EXPECT_FALSE(libc->isMainProgram);
  EXPECT_EQ(0, std::memcmp(reinterpret_cast<const void*>(libc->header), ELFMAG, SELFMAG));
  EXPECT_NE(0u, libc->ehFrameHeader());

  const void* stdcxx = dlsym(RTLD_DEFAULT, "_ZSt9terminatev");  // std::terminate
  ASSERT_NE(nullptr, stdcxx);
  const LoadedImage* cxx = imageContaining(images, addressOf(stdcxx));
  ASSERT_NE(nullptr, cxx);
  EXPECT_NE(std::string::npos, cxx->path.find("libstdc++")) << cxx->path;

  // Images do not overlap.
  for (const auto& a : images) {
    for (const auto& b : images) {
      if (&a == &b) continue;
      EXPECT_FALSE(a.contains(b.header)) << a.path << " holds the header of " << b.path;
    }
  }
}

TEST(LoadedImagesTest, ObserverSeesEveryImageThenLoadAndUnload) {
  Recorder recorder;
  const auto before = LoadedImages::list();
  const LoadedImages::Token token = recorder.observe();
  ASSERT_NE(0u, token);
  {
    std::lock_guard lock(recorder.mutex);
    EXPECT_EQ(before.size(), recorder.added.size());
    EXPECT_TRUE(recorder.removed.empty());
    ASSERT_FALSE(recorder.added.empty());
    EXPECT_TRUE(recorder.added.front().isMainProgram);
  }

  void* handle = ::dlopen(VARNEL_TEST_LOADABLE, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(nullptr, handle) << ::dlerror();
  void* symbol = ::dlsym(handle, "varnel_test_loadable_add");
  ASSERT_NE(nullptr, symbol);
  LoadedImages::refresh();
  ASSERT_EQ(1u, recorder.addedMatching(VARNEL_TEST_LOADABLE));
  LoadedImage loaded;
  {
    std::lock_guard lock(recorder.mutex);
    loaded = recorder.added.back();
  }
  EXPECT_TRUE(loaded.contains(addressOf(symbol)));
  EXPECT_FALSE(loaded.buildID.empty());
  EXPECT_EQ(0, std::memcmp(reinterpret_cast<const void*>(loaded.header), ELFMAG, SELFMAG));

  // A refresh without a change reports nothing.
  const std::size_t events = recorder.order.size();
  LoadedImages::refresh();
  EXPECT_EQ(events, recorder.order.size());

  ASSERT_EQ(0, ::dlclose(handle));
  LoadedImages::refresh();
  ASSERT_EQ(1u, recorder.removedMatching(loaded.path));
  {
    std::lock_guard lock(recorder.mutex);
    const LoadedImage& removed = recorder.removed.back();
    // The copies taken while it was mapped.
    EXPECT_EQ(loaded.header, removed.header);
    EXPECT_EQ(loaded.buildID, removed.buildID);
    EXPECT_EQ(loaded.size(), removed.size());
  }

  LoadedImages::removeObserver(token);
  handle = ::dlopen(VARNEL_TEST_LOADABLE, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(nullptr, handle);
  LoadedImages::refresh();
  EXPECT_EQ(1u, recorder.addedMatching(VARNEL_TEST_LOADABLE));
  ::dlclose(handle);
  LoadedImages::refresh();
}

TEST(LoadedImagesTest, TimerRescanReportsALoadWithoutRefresh) {
  const auto saved = LoadedImages::rescanInterval();
  LoadedImages::setRescanInterval(std::chrono::milliseconds(20));
  Recorder recorder;
  const LoadedImages::Token token = recorder.observe();
  void* handle = ::dlopen(VARNEL_TEST_LOADABLE, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(nullptr, handle);
  varnel::testing::waitUntil([&] { return recorder.addedMatching(VARNEL_TEST_LOADABLE) != 0; },
                             std::chrono::seconds(20));
  EXPECT_EQ(1u, recorder.addedMatching(VARNEL_TEST_LOADABLE));
  ::dlclose(handle);
  varnel::testing::waitUntil([&] { return recorder.removedMatching(VARNEL_TEST_LOADABLE) != 0; },
                             std::chrono::seconds(20));
  EXPECT_EQ(1u, recorder.removedMatching(VARNEL_TEST_LOADABLE));
  LoadedImages::removeObserver(token);
  LoadedImages::setRescanInterval(saved);
}

TEST(LoadedImagesTest, CallbacksMayCallBackWithoutDeadlock) {
  std::atomic<int> calls{0};
  LoadedImages::Token nested = 1;
  LoadedImages::Token self = 0;
  self = LoadedImages::addObserver(
      [&](const LoadedImage&) {
        if (calls++ == 0) {
          LoadedImages::refresh();  // skipped
          nested = LoadedImages::addObserver(nullptr, nullptr);
          LoadedImages::setRescanInterval(LoadedImages::rescanInterval());
        }
      },
      nullptr);
  EXPECT_EQ(0u, nested);  // refused inside a callback
  EXPECT_EQ(static_cast<int>(LoadedImages::list().size()), calls.load());
  LoadedImages::removeObserver(self);

  // An observer that removes itself from inside its callback gets no more.
  std::atomic<int> selfRemovingCalls{0};
  LoadedImages::Token selfRemoving = 0;
  selfRemoving = LoadedImages::addObserver(
      [&](const LoadedImage&) {
        ++selfRemovingCalls;
        LoadedImages::removeObserver(selfRemoving);
      },
      nullptr);
  // The token is assigned after the initial delivery: the first callback
  // saw 0 and could not remove itself yet, so it stays registered.
  const int initial = selfRemovingCalls.load();
  EXPECT_EQ(static_cast<int>(LoadedImages::list().size()), initial);
  void* handle = ::dlopen(VARNEL_TEST_LOADABLE, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(nullptr, handle);
  LoadedImages::refresh();
  EXPECT_EQ(initial + 1, selfRemovingCalls.load());
  ::dlclose(handle);
  handle = ::dlopen(VARNEL_TEST_LOADABLE, RTLD_NOW | RTLD_LOCAL);
  LoadedImages::refresh();
  EXPECT_EQ(initial + 1, selfRemovingCalls.load());
  ::dlclose(handle);
  LoadedImages::refresh();
  LoadedImages::removeObserver(selfRemoving);
}

}  // namespace
}  // namespace platform
