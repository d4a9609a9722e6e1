#include "platform/system/bundle.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <vector>

#include "platform/system/file_util.h"
#include "platform/system/property_list.h"

namespace platform {
namespace {

bool isFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool isFolder(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string runningExecutable() {
  std::vector<char> buffer(4096);
  for (;;) {
    ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return {};
    if (static_cast<std::size_t>(n) < buffer.size()) {
      return std::string(buffer.data(), static_cast<std::size_t>(n));
    }
    buffer.resize(buffer.size() * 2);
  }
}

struct MainState {
  std::mutex mutex;
  std::shared_ptr<const Bundle> running;
};

MainState& mainState() {
  static MainState* state = new MainState;  // never destroyed: usable during exit
  return *state;
}

}  // namespace

Bundle::Bundle(std::string executablePath, std::string resourcePath, Value info,
               std::string infoFilePath)
    : executablePath_(std::move(executablePath)),
      resourcePath_(std::move(resourcePath)),
      info_(info.isDictionary() ? plist::immutableCopy(info) : Value()),
      infoFilePath_(std::move(infoFilePath)) {
  // A dictionary that is not a property list (it holds a null, say) is
  // still kept, one level deep.
  if (info_.isNone()) info_ = info.isDictionary() ? info.copy() : Value::dictionary();
}

std::shared_ptr<const Bundle> Bundle::main() {
  MainState& state = mainState();
  std::lock_guard lock(state.mutex);
  if (!state.running) state.running = forExecutable(runningExecutable());
  return state.running;
}

std::shared_ptr<const Bundle> Bundle::forExecutable(const std::string& executablePath) {
  if (executablePath.empty()) {
    return std::make_shared<const Bundle>(std::string(), std::string(), Value::dictionary());
  }
  const std::string folder = files::parentFolder(executablePath);
  const std::string program = files::lastComponent(executablePath);
  const std::string shared = folder + "/../share/" + program;
  const std::string candidates[] = {folder + "/" + program + ".plist", folder + "/Info.plist",
                                    shared + "/Info.plist"};
  std::string infoPath;
  for (const std::string& candidate : candidates) {
    if (isFile(candidate)) {
      infoPath = candidate;
      break;
    }
  }
  Value info = Value::dictionary();
  if (!infoPath.empty()) {
    Error error;
    Value read = plist::readFile(infoPath, &error);
    if (read.isDictionary()) {
      info = read;
    } else {
      std::fprintf(stderr, "Bundle: cannot use the information file %s: %s\n", infoPath.c_str(),
                   error ? error.localizedDescription().c_str() : "it holds no dictionary");
    }
  }
  std::string resources = isFolder(shared) ? shared : folder;
  return std::make_shared<const Bundle>(executablePath, resources, info, infoPath);
}

std::string Bundle::stringFor(const char* key) const {
  Value v = info_[key];
  return v.isString() ? v.asString() : std::string();
}

std::string Bundle::bundleIdentifier() const { return stringFor(kCFBundleIdentifierKey); }
std::string Bundle::shortVersion() const { return stringFor(kCFBundleShortVersionStringKey); }
std::string Bundle::version() const { return stringFor(kCFBundleVersionKey); }

std::string Bundle::name() const {
  std::string n = stringFor(kCFBundleNameKey);
  return n.empty() ? executableName() : n;
}

std::string Bundle::executableName() const {
  std::string n = stringFor(kCFBundleExecutableKey);
  return n.empty() ? files::lastComponent(executablePath_) : n;
}

std::string Bundle::bundlePath() const { return files::parentFolder(executablePath_); }

std::string Bundle::pathForResource(std::string_view name, std::string_view type) const {
  if (name.empty()) return {};
  std::string file(name);
  if (!type.empty()) {
    file += '.';
    file += type;
  }
  std::string path = resourcePath_ + "/" + file;
  return isFile(path) || isFolder(path) ? path : std::string();
}

}  // namespace platform
