#include "sdk/crash/ctr_file_manager.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "platform/foundation/error.h"
#include "platform/system/file_util.h"
#include "platform/system/paths.h"
#include "sdk/crash/ctr_internal_report.h"
#include "sdk/platform/bcn_application.h"
#include "sdk/platform/bcn_console.h"

namespace sdk {

namespace {

// `base` + "/" + `component`; an empty component leaves `base` as it is.
std::string appendingPathComponent(const std::string& base, std::string_view component) {
  if (component.empty()) return base;
  std::string joined = base;
  if (joined.empty() || joined.back() != '/') joined += '/';
  joined += component;
  return joined;
}

bool isDirectory(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// mkdir of `path` and every missing parent, each new one with mode 0700
// (set explicitly, so the umask does not narrow it).
bool makeDirectories(const std::string& path, platform::Error* error) {
  if (path.empty()) {
    *error = platform::Error::posix(ENOENT, path);
    return false;
  }
  std::size_t position = 0;
  while (position != std::string::npos) {
    position = path.find('/', position + 1);
    std::string prefix = path.substr(0, position);
    if (prefix.empty() || prefix == "/") continue;
    if (::mkdir(prefix.c_str(), 0700) == 0) {
      ::chmod(prefix.c_str(), 0700);
      continue;
    }
    int err = errno;
    if (err == EEXIST && isDirectory(prefix)) continue;
    *error = platform::Error::posix(err == EEXIST ? ENOTDIR : err, prefix);
    return false;
  }
  return true;
}

// Renames without replacing an existing destination.
bool moveWithoutReplacing(const std::string& from, const std::string& to, platform::Error* error) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
    return true;
  }
  int err = errno;
  if (err == EINVAL || err == ENOSYS) {
    // The file system cannot refuse atomically: check, then rename.
    struct stat info {};
    if (::lstat(to.c_str(), &info) == 0) {
      err = EEXIST;
    } else if (::rename(from.c_str(), to.c_str()) == 0) {
      return true;
    } else {
      err = errno;
    }
  }
  *error = platform::Error::posix(err, from + " -> " + to);
  return false;
}

std::string pathExtension(std::string_view name) {
  std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return {};
  return std::string(name.substr(dot + 1));
}

}  // namespace

CTRFileManager::CTRFileManager(const platform::BundlePtr& bundle) {
  std::string root = appendingPathComponent(platform::paths::caches(), kCTRDataDirectoryName);
  rootPath_ = appendingPathComponent(root, BCNApplicationGetBundleIdentifier(bundle));
}

std::string CTRFileManager::structurePath() const {
  return appendingPathComponent(rootPath_, kCTRStructureDirectoryName);
}
std::string CTRFileManager::activePath() const {
  return appendingPathComponent(structurePath(), kCTRActiveDirectoryName);
}
std::string CTRFileManager::pendingPath() const {
  return appendingPathComponent(structurePath(), kCTRPendingDirectoryName);
}
std::string CTRFileManager::processingPath() const {
  return appendingPathComponent(structurePath(), kCTRProcessingDirectoryName);
}
std::string CTRFileManager::preparedPath() const {
  return appendingPathComponent(structurePath(), kCTRPreparedDirectoryName);
}

bool CTRFileManager::createDirectoryAtPath(const std::string& path) const {
  platform::Error error;
  if (makeDirectories(path, &error)) return true;
  BCNConsoleLog("[FileManager] Unable to create directory %@", error);
  return false;
}

bool CTRFileManager::removeItemAtPath(const std::string& path) const {
  std::error_code code;
  struct stat info {};
  if (path.empty() || ::lstat(path.c_str(), &info) != 0) {
    code = std::error_code(path.empty() ? ENOENT : errno, std::generic_category());
  } else {
    std::filesystem::remove_all(path, code);
  }
  if (!code) return true;
  BCNConsoleLog("[FileManager] Failed to remove file '%@' : %@", path,
                platform::Error::posix(code.value(), path));
  return false;
}

bool CTRFileManager::removeContentsOfDirectoryAtPath(const std::string& directory) const {
  bool allRemoved = true;
  // Listed first, removed after: removing while reading the directory could
  // make the listing skip or repeat entries.
  for (const std::string& path : contentsOfDirectory(directory)) {
    if (!removeItemAtPath(path)) allRemoved = false;
  }
  return allRemoved;
}

bool CTRFileManager::moveItemAtPath(const std::string& path, const std::string& directory) const {
  if (path.empty() || directory.empty()) {
    BCNConsoleLog("[FileManager] Failed to move file, inputs invalid");
    return false;
  }
  std::string destination = appendingPathComponent(directory, platform::files::lastComponent(path));
  platform::Error error;
  if (moveWithoutReplacing(path, destination, &error)) return true;
  BCNConsoleLog("[FileManager] Failed to move file: %@", error);
  return false;
}

void CTRFileManager::enumerateFilesInDirectory(const std::string& directory,
                                               const FileBlock& block) const {
  DIR* stream = ::opendir(directory.c_str());
  if (!stream) return;
  std::vector<std::string> names;
  while (struct dirent* entry = ::readdir(stream)) {
    if (entry->d_name[0] == '.') continue;
    names.emplace_back(entry->d_name);
  }
  ::closedir(stream);
  // The block runs after the directory is closed, so it may change it.
  for (const std::string& name : names) {
    block(appendingPathComponent(directory, name), pathExtension(name));
  }
}

bool CTRFileManager::moveItemsFromDirectory(const std::string& source,
                                            const std::string& destination) const {
  for (const std::string& path : contentsOfDirectory(source)) {
    if (!moveItemAtPath(path, destination)) return false;
  }
  return true;
}

std::optional<std::uint64_t> CTRFileManager::fileSizeAtPath(const std::string& path) const {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) {
    BCNConsoleLog("[Client] Unable to read file size: %@", platform::Error::posix(errno, path));
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(info.st_size);
}

std::vector<std::string> CTRFileManager::contentsOfDirectory(const std::string& directory) const {
  std::vector<std::string> paths;
  enumerateFilesInDirectory(
      directory, [&](const std::string& path, const std::string&) { paths.push_back(path); });
  return paths;
}

std::vector<std::string> CTRFileManager::activePathContents() const {
  return contentsOfDirectory(activePath());
}
std::vector<std::string> CTRFileManager::processingPathContents() const {
  return contentsOfDirectory(processingPath());
}
std::vector<std::string> CTRFileManager::preparedPathContents() const {
  return contentsOfDirectory(preparedPath());
}

bool CTRFileManager::prepareForNewLaunch() const {
  return createDirectoryAtPath(activePath()) && createDirectoryAtPath(processingPath()) &&
         createDirectoryAtPath(preparedPath());
}

std::optional<std::string> CTRFileManager::setupNewPathForExecutionIdentifier(
    const std::string& executionIdentifier) const {
  if (executionIdentifier.empty()) return std::nullopt;
  std::string path = appendingPathComponent(activePath(), executionIdentifier);
  if (!createDirectoryAtPath(path)) return std::nullopt;
  return path;
}

void CTRFileManager::removeLegacyDirectories() const {
  struct stat info {};
  std::string sendable = appendingPathComponent(rootPath_, kCTRLegacySendableDirectoryName);
  if (::lstat(sendable.c_str(), &info) != 0) return;
  std::error_code code;
  std::filesystem::remove_all(rootPath_, code);
  if (code) {
    BCNConsoleLog("[Crashtrail:FileManager] Unable to remove legacy directory structure %@",
                  platform::Error::posix(code.value(), rootPath_));
  }
  BCNConsoleLog("[Crashtrail:FileManager] Removed legacy structure at %@", rootPath_);
}

bool CTRFileManager::removeContentsOfProcessingPath() const {
  return removeContentsOfDirectoryAtPath(processingPath());
}
bool CTRFileManager::removeContentsOfPendingPath() const {
  return removeContentsOfDirectoryAtPath(pendingPath());
}

bool CTRFileManager::removeContentsOfAllPaths() const {
  bool processing = removeContentsOfDirectoryAtPath(processingPath());
  bool pending = removeContentsOfDirectoryAtPath(pendingPath());
  bool prepared = removeContentsOfDirectoryAtPath(preparedPath());
  bool active = removeContentsOfDirectoryAtPath(activePath());
  return processing && pending && prepared && active;
}

void CTRFileManager::enumerateReportsInProcessingDirectoryUsingBlock(
    const ReportBlock& block) const {
  enumerateFilesInDirectory(processingPath(), [&](const std::string& path, const std::string&) {
    block(CTRInternalReport::reportWithPath(path), path);
  });
}

void CTRFileManager::enumerateFilesInActiveDirectoryUsingBlock(const FileBlock& block) const {
  enumerateFilesInDirectory(activePath(), block);
}
void CTRFileManager::enumerateFilesInPreparedDirectoryUsingBlock(const FileBlock& block) const {
  enumerateFilesInDirectory(preparedPath(), block);
}

bool CTRFileManager::moveProcessingContentsToPrepared() const {
  return moveItemsFromDirectory(processingPath(), preparedPath());
}
bool CTRFileManager::movePendingToProcessing() const {
  return moveItemsFromDirectory(pendingPath(), processingPath());
}

}  // namespace sdk
