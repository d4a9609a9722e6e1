// platform::Bundle: what a program knows about itself from its information
// file: identifier, versions, name, where its resources are, and the whole
// information dictionary.
//
// The information file is an XML property list (platform/system/
// property_list.h) beside the program. For a program at <dir>/<prog> the
// first of these that exists is read:
//   <dir>/<prog>.plist, <dir>/Info.plist, <dir>/../share/<prog>/Info.plist
// The resources folder is <dir>/../share/<prog> when that folder exists,
// else <dir>. A program without an information file has an empty
// dictionary (and so an empty identifier); an unreadable file is reported
// once on stderr and also gives an empty dictionary.
//
// The running program's bundle (main()) is never replaced: code that reads
// a program's information takes the bundle to read at creation (a
// BundlePtr, defaulting to main()), so that tests hand in their own.
//
// Thread safety: a Bundle is immutable after creation and may be shared
// freely; main() may be called from any thread.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/foundation/value.h"

namespace platform {

class Bundle;
// How a bundle is handed to what reads it: components that read the
// program's information take one at creation, defaulting to Bundle::main().
using BundlePtr = std::shared_ptr<const Bundle>;

inline constexpr const char* kCFBundleIdentifierKey = "CFBundleIdentifier";
inline constexpr const char* kCFBundleNameKey = "CFBundleName";
inline constexpr const char* kCFBundleExecutableKey = "CFBundleExecutable";
inline constexpr const char* kCFBundleVersionKey = "CFBundleVersion";
inline constexpr const char* kCFBundleShortVersionStringKey = "CFBundleShortVersionString";
inline constexpr const char* kCFBundleInfoDictionaryVersionKey = "CFBundleInfoDictionaryVersion";

class Bundle {
 public:
  // The bundle of the running program (found from /proc/self/exe on first
  // use, then the same object every time).
  static std::shared_ptr<const Bundle> main();

  // The bundle of the program at `executablePath` (its information file is
  // looked up as described above).
  static std::shared_ptr<const Bundle> forExecutable(const std::string& executablePath);
  // A bundle from parts; `info` should be a dictionary (anything else counts
  // as an empty one).
  Bundle(std::string executablePath, std::string resourcePath, Value info,
         std::string infoFilePath = {});

  // The information dictionary (an immutable dictionary, maybe empty).
  const Value& infoDictionary() const { return info_; }
  Value objectForInfoDictionaryKey(std::string_view key) const { return info_[key]; }

  // "CFBundleIdentifier", "CFBundleShortVersionString", "CFBundleVersion":
  // the string, or "" when absent or not a string.
  std::string bundleIdentifier() const;
  std::string shortVersion() const;
  std::string version() const;
  // "CFBundleName", else the executable's name.
  std::string name() const;
  // "CFBundleExecutable", else the last component of executablePath().
  std::string executableName() const;

  const std::string& executablePath() const { return executablePath_; }
  // The folder holding the program.
  std::string bundlePath() const;
  const std::string& resourcePath() const { return resourcePath_; }
  // The file the dictionary came from; "" when there was none.
  const std::string& infoFilePath() const { return infoFilePath_; }

  // The path of resource "<name>.<type>" (just <name> when type is empty)
  // in the resources folder; "" when no such file exists.
  std::string pathForResource(std::string_view name, std::string_view type = {}) const;

 private:
  std::string stringFor(const char* key) const;

  std::string executablePath_;
  std::string resourcePath_;
  Value info_;
  std::string infoFilePath_;
};

}  // namespace platform
