#include "platform/system/loaded_images.h"

#include <elf.h>
#include <link.h>
#include <sys/auxv.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstddef>
#include <cstring>
#include <memory>
#include <mutex>

#include "platform/dispatch/dispatch.h"

namespace platform {

namespace {

constexpr std::uint32_t kGNUBuildIDNote = 3;  // NT_GNU_BUILD_ID

const std::string& mainProgramPath() {
  static const std::string path = [] {
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return std::string("/proc/self/exe");
    return std::string(buffer, static_cast<std::size_t>(n));
  }();
  return path;
}

// Whether [address, address + length) lies inside the file-backed part of
// one loadable segment (and so is mapped while the image is loaded).
bool insideLoadedFileBytes(const LoadedImage& image, std::uint64_t vaddr, std::uint64_t length) {
  for (const auto& s : image.segments) {
    if (s.type != PT_LOAD) continue;
    if (vaddr >= s.vaddr && vaddr - s.vaddr <= s.filesz && length <= s.filesz - (vaddr - s.vaddr)) {
      return true;
    }
  }
  return false;
}

// Reads the build-id from the image's note segments in memory. Called while
// the loader holds the image (inside dl_iterate_phdr).
void readBuildID(LoadedImage& image) {
  for (const auto& s : image.segments) {
    if (s.type != PT_NOTE || s.filesz < 12) continue;
    if (!insideLoadedFileBytes(image, s.vaddr, s.filesz)) continue;
    const auto* bytes = reinterpret_cast<const unsigned char*>(
        static_cast<std::uintptr_t>(image.slide) + static_cast<std::uintptr_t>(s.vaddr));
    const std::uint64_t end = s.filesz;
    const auto pad = [](std::uint64_t n) { return (n + 3) & ~std::uint64_t{3}; };
    std::uint64_t p = 0;
    while (end - p >= 12) {
      std::uint32_t namesz, descsz, type;
      std::memcpy(&namesz, bytes + p, 4);
      std::memcpy(&descsz, bytes + p + 4, 4);
      std::memcpy(&type, bytes + p + 8, 4);
      const std::uint64_t name = p + 12;
      if (pad(namesz) > end - name) break;
      const std::uint64_t desc = name + pad(namesz);
      if (descsz > end - desc) break;
      if (type == kGNUBuildIDNote && namesz == 4 && std::memcmp(bytes + name, "GNU", 4) == 0) {
        image.buildID.assign(bytes + desc, bytes + desc + descsz);
        return;
      }
      p = desc + pad(descsz);
      if (p > end) break;
    }
  }
}

struct Scan {
  bool started = false;       // the first image has been seen
  bool haveCounters = false;  // the loader passed dlpi_adds / dlpi_subs
  unsigned long long adds = 0;
  unsigned long long subs = 0;
  std::vector<LoadedImage>* images = nullptr;  // nullptr: counters only
};

int collect(dl_phdr_info* info, std::size_t size, void* data) {
  auto* scan = static_cast<Scan*>(data);
  if (!scan->started) {
    scan->started = true;
    // The counters are the same in every call of one iteration.
    if (size >= offsetof(dl_phdr_info, dlpi_subs) + sizeof(info->dlpi_subs)) {
      scan->adds = info->dlpi_adds;
      scan->subs = info->dlpi_subs;
      scan->haveCounters = true;
    }
  }
  if (!scan->images) return 1;  // the counters were all that was asked for

  LoadedImage image;
  image.slide = static_cast<std::intptr_t>(info->dlpi_addr);
  bool haveLoad = false;
  std::uint64_t lowestVaddr = 0;
  std::uint64_t lowestOffset = 0;
  for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    LoadedImage::Segment s;
    s.type = ph.p_type;
    s.flags = ph.p_flags;
    s.offset = ph.p_offset;
    s.vaddr = ph.p_vaddr;
    s.filesz = ph.p_filesz;
    s.memsz = ph.p_memsz;
    image.segments.push_back(s);
    if (ph.p_type == PT_LOAD && (!haveLoad || ph.p_vaddr < lowestVaddr)) {
      haveLoad = true;
      lowestVaddr = ph.p_vaddr;
      lowestOffset = ph.p_offset;
    }
  }
  if (!haveLoad) return 0;  // nothing mapped: not an image to report
  // Where file offset 0 (the ELF header) lies in memory.
  const std::uint64_t headerVaddr = lowestOffset <= lowestVaddr ? lowestVaddr - lowestOffset : 0;
  image.header = static_cast<std::uintptr_t>(info->dlpi_addr + headerVaddr);

  image.isMainProgram = reinterpret_cast<std::uintptr_t>(info->dlpi_phdr) == ::getauxval(AT_PHDR);
  if (image.isMainProgram) {
    image.path = mainProgramPath();
  } else if (info->dlpi_name && info->dlpi_name[0] != '\0') {
    image.path = info->dlpi_name;
  } else if (image.header == ::getauxval(AT_SYSINFO_EHDR)) {
    image.path = "[vdso]";
  }
  readBuildID(image);
  scan->images->push_back(std::move(image));
  return 0;
}

bool sameImage(const LoadedImage& a, const LoadedImage& b) {
  return a.header == b.header && a.slide == b.slide && a.path == b.path && a.buildID == b.buildID;
}

struct Observer {
  LoadedImages::Token token = 0;
  LoadedImages::Callback added;
  LoadedImages::Callback removed;
  std::atomic<bool> active{true};
};

// Everything below `delivery` is guarded by it: one scan and delivery at a
// time.
struct State {
  std::mutex delivery;
  std::vector<std::shared_ptr<Observer>> observers;
  std::vector<LoadedImage> snapshot;
  bool haveSnapshot = false;
  unsigned long long adds = 0;
  unsigned long long subs = 0;
  LoadedImages::Token nextToken = 1;
  std::shared_ptr<dispatch::Source> timer;
  std::atomic<long long> intervalMs{1000};
  long long scheduledMs = 0;  // the interval the timer runs with
};

State& state() {
  static State* s = new State;  // never destroyed: timer ticks may outlive main
  return *s;
}

thread_local bool tDelivering = false;

struct DeliveringScope {
  DeliveringScope() { tDelivering = true; }
  ~DeliveringScope() { tDelivering = false; }
};

// Brings the snapshot up to date and tells every active observer what
// changed. Called with `delivery` held.
void rescanLocked(State& s) {
  if (s.haveSnapshot) {
    Scan quick;
    ::dl_iterate_phdr(collect, &quick);
    if (quick.haveCounters && quick.adds == s.adds && quick.subs == s.subs) return;
  }
  std::vector<LoadedImage> images;
  Scan scan;
  scan.images = &images;
  ::dl_iterate_phdr(collect, &scan);
  s.adds = scan.adds;
  s.subs = scan.subs;

  // Without a snapshot (first scan) the images are only remembered: no
  // observer has been told of any image yet.
  std::vector<const LoadedImage*> removed;
  std::vector<const LoadedImage*> added;
  if (s.haveSnapshot) {
    for (const auto& old : s.snapshot) {
      const bool kept = std::any_of(images.begin(), images.end(),
                                    [&](const LoadedImage& now) { return sameImage(old, now); });
      if (!kept) removed.push_back(&old);
    }
    for (const auto& now : images) {
      const bool known = std::any_of(s.snapshot.begin(), s.snapshot.end(),
                                     [&](const LoadedImage& old) { return sameImage(old, now); });
      if (!known) added.push_back(&now);
    }
  }
  const auto observers = s.observers;
  {
    DeliveringScope scope;
    for (const LoadedImage* image : removed) {
      for (const auto& o : observers) {
        if (o->active.load() && o->removed) o->removed(*image);
      }
    }
    for (const LoadedImage* image : added) {
      for (const auto& o : observers) {
        if (o->active.load() && o->added) o->added(*image);
      }
    }
  }
  s.snapshot = std::move(images);
  s.haveSnapshot = true;
}

void scheduleTimerLocked(State& s) {
  s.scheduledMs = s.intervalMs.load();
  const auto interval = std::chrono::milliseconds(s.scheduledMs);
  s.timer->setTimer(interval, interval);
}

}  // namespace

// ---------------------------------------------------------------------------
// LoadedImage

std::uint64_t LoadedImage::size() const {
  std::uint64_t end = 0;
  bool any = false;
  for (const auto& s : segments) {
    if (s.type != PT_LOAD) continue;
    any = true;
    end = std::max(end, s.vaddr + s.memsz);
  }
  if (!any) return 0;
  const std::uint64_t endAddress = static_cast<std::uint64_t>(slide) + end;
  return endAddress > header ? endAddress - header : 0;
}

std::uintptr_t LoadedImage::ehFrameHeader() const {
  for (const auto& s : segments) {
    if (s.type == PT_GNU_EH_FRAME) {
      return static_cast<std::uintptr_t>(static_cast<std::uint64_t>(slide) + s.vaddr);
    }
  }
  return 0;
}

std::string LoadedImage::uuidString() const {
  if (buildID.empty()) return {};
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(32);
  for (std::size_t i = 0; i < 16; ++i) {
    const std::uint8_t b = i < buildID.size() ? buildID[i] : 0;
    text.push_back(kDigits[b >> 4]);
    text.push_back(kDigits[b & 0xf]);
  }
  return text;
}

bool LoadedImage::contains(std::uintptr_t address) const {
  return address >= header && address - header < size();
}

// ---------------------------------------------------------------------------
// LoadedImages

std::vector<LoadedImage> LoadedImages::list() {
  std::vector<LoadedImage> images;
  Scan scan;
  scan.images = &images;
  ::dl_iterate_phdr(collect, &scan);
  return images;
}

LoadedImages::Token LoadedImages::addObserver(Callback added, Callback removed) {
  if (tDelivering) return 0;
  State& s = state();
  std::lock_guard lock(s.delivery);
  rescanLocked(s);  // existing observers first learn what changed so far
  std::erase_if(s.observers, [](const std::shared_ptr<Observer>& o) { return !o->active.load(); });
  auto observer = std::make_shared<Observer>();
  observer->token = s.nextToken++;
  observer->added = std::move(added);
  observer->removed = std::move(removed);
  s.observers.push_back(observer);
  if (observer->added) {
    DeliveringScope scope;
    for (const auto& image : s.snapshot) {
      if (!observer->active.load()) break;
      observer->added(image);
    }
  }
  if (!s.timer) {
    s.timer = dispatch::Source::timer(
        dispatch::Queue::createSerial("com.varnelvpn.platform.loaded-images"));
    s.timer->setEventHandler([] { LoadedImages::refresh(); });
    scheduleTimerLocked(s);
    s.timer->resume();
  }
  return observer->token;
}

void LoadedImages::removeObserver(Token token) {
  if (token == 0) return;
  State& s = state();
  if (tDelivering) {
    // Inside a callback (the delivery lock is held by this thread): stop
    // further calls now; the entry is dropped by the next registration
    // change made outside a callback.
    for (const auto& o : s.observers) {
      if (o->token == token) o->active.store(false);
    }
    return;
  }
  std::lock_guard lock(s.delivery);
  std::erase_if(s.observers, [token](const std::shared_ptr<Observer>& o) {
    if (o->token == token) o->active.store(false);
    return o->token == token || !o->active.load();
  });
  if (s.observers.empty() && s.timer) {
    s.timer->cancel();
    s.timer.reset();
  }
}

void LoadedImages::refresh() {
  if (tDelivering) return;
  State& s = state();
  std::lock_guard lock(s.delivery);
  rescanLocked(s);
  // An interval changed from inside a callback takes effect here.
  if (s.timer && s.scheduledMs != s.intervalMs.load()) scheduleTimerLocked(s);
}

void LoadedImages::setRescanInterval(std::chrono::milliseconds interval) {
  if (interval.count() <= 0) interval = std::chrono::milliseconds(1);
  State& s = state();
  s.intervalMs.store(interval.count());
  if (tDelivering) return;  // applied after the current rescan
  std::lock_guard lock(s.delivery);
  if (s.timer) scheduleTimerLocked(s);
}

std::chrono::milliseconds LoadedImages::rescanInterval() {
  return std::chrono::milliseconds(state().intervalMs.load());
}

}  // namespace platform
