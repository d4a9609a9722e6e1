#include "sdk/crash/ctr_internal_report.h"

#include <filesystem>
#include <system_error>
#include <utility>

#include "platform/foundation/date.h"
#include "platform/system/file_util.h"
#include "sdk/crash/capture/ctr_file.h"
#include "sdk/platform/bcn_console.h"

namespace sdk {

namespace {

constexpr std::string_view kIdentitySection = "identity";
constexpr std::string_view kHostSection = "host";
constexpr std::string_view kApplicationSection = "application";

platform::Value dateFromSeconds(const platform::Value& seconds) {
  if (!seconds.isNumber() || seconds.isBool()) return platform::Value();
  return platform::Value(platform::Date(static_cast<double>(seconds.asUInt64())));
}

}  // namespace

std::shared_ptr<CTRInternalReport> CTRInternalReport::reportWithPath(const std::string& path) {
  platform::Value sections = readCLSFileAtPath(path + "/" + kCTRMetadataFile);
  platform::Value identifier = sections[std::size_t{0}][kIdentitySection]["session_id"];
  if (!identifier.isString() || identifier.stringView().empty()) {
    BCNConsoleLog("[Crashtrail:Crash] Unable to read identifier at path %@", path);
    return nullptr;
  }
  return reportWithPath(path, identifier.asString());
}

std::shared_ptr<CTRInternalReport> CTRInternalReport::reportWithPath(
    const std::string& path, const std::string& executionIdentifier) {
  if (path.empty() || executionIdentifier.empty()) return nullptr;
  return std::make_shared<CTRInternalReport>(path, executionIdentifier);
}

CTRInternalReport::CTRInternalReport(std::string path, std::string identifier)
    : path_(std::move(path)), identifier_(std::move(identifier)) {}

const std::vector<std::string>& CTRInternalReport::crashFilenames() {
  static const std::vector<std::string> names{kCTRExceptionFile, kCTRMachExceptionFile,
                                              kCTRSignalFile};
  return names;
}

platform::Value CTRInternalReport::readCLSFileAtPath(const std::string& path) {
  platform::Value sections = CTRFileReadSections(path.c_str(), false);
  if (!sections.isArray() || sections.count() == 0) return platform::Value();
  return sections;
}

std::string CTRInternalReport::directoryName() const {
  return platform::files::lastComponent(path_);
}

std::string CTRInternalReport::pathForContentFile(std::string_view fileName) const {
  std::string joined = path_;
  if (!joined.empty() && joined.back() != '/') joined += '/';
  joined += fileName;
  return joined;
}

bool CTRInternalReport::checkExistenceOfAtLeastOnceFileInArray(
    const std::vector<std::string>& fileNames) const {
  for (const std::string& name : fileNames) {
    std::error_code error;
    if (std::filesystem::exists(pathForContentFile(name), error)) return true;
  }
  return false;
}

bool CTRInternalReport::needsToBeSubmitted() const {
  // A crash record counts when it holds at least one whole line: on a full
  // disk the handler may have made the file and written nothing, or half
  // its first line, and such a report says nothing of the crash.
  for (const std::string& name : crashFilenames()) {
    const std::string path = pathForContentFile(name);
    std::error_code error;
    if (!std::filesystem::exists(path, error)) continue;
    if (!readCLSFileAtPath(path).isNone()) return true;
    BCNConsoleLog("[Crashtrail:Crash] %@ of report %@ holds no whole record", name,
                  directoryName());
  }
  static const std::vector<std::string> names{kCTRCustomExceptionAFile, kCTRCustomExceptionBFile,
                                              kCTRErrorsAFile, kCTRErrorsBFile};
  return checkExistenceOfAtLeastOnceFileInArray(names);
}

bool CTRInternalReport::isCrash() const {
  return checkExistenceOfAtLeastOnceFileInArray(crashFilenames());
}

void CTRInternalReport::enumerateSymbolicatableFilesInContent(
    const std::function<void(const std::string& path)>& block) const {
  for (const std::string& name : crashFilenames()) block(pathForContentFile(name));
}

const platform::Value& CTRInternalReport::metadataSections() const {
  std::call_once(metadataOnce_, [this] { metadata_ = readCLSFileAtPath(metadataPath()); });
  return metadata_;
}

platform::Value CTRInternalReport::metadataValue(std::size_t index, std::string_view section,
                                                 std::string_view key) const {
  return metadataSections()[index][section][key];
}

platform::Value CTRInternalReport::APIKey() const {
  return metadataValue(0, kIdentitySection, "api_key");
}

platform::Value CTRInternalReport::bundleVersion() const {
  return metadataValue(2, kApplicationSection, "build_version");
}

platform::Value CTRInternalReport::bundleShortVersionString() const {
  return metadataValue(2, kApplicationSection, "display_version");
}

platform::Value CTRInternalReport::OSVersion() const {
  return metadataValue(1, kHostSection, "os_display_version");
}

platform::Value CTRInternalReport::OSBuildVersion() const {
  return metadataValue(1, kHostSection, "os_build_version");
}

platform::Value CTRInternalReport::dateCreated() const {
  return dateFromSeconds(metadataValue(0, kIdentitySection, "started_at"));
}

platform::Value CTRInternalReport::crashedOnDate() const {
  if (!isCrash()) return platform::Value();
  platform::Value date = timeFromCrashContentFile(kCTRMachExceptionFile, "mach_exception");
  if (date.isNone()) date = timeFromCrashContentFile(kCTRSignalFile, "signal");
  return date;
}

platform::Value CTRInternalReport::timeFromCrashContentFile(std::string_view fileName,
                                                            std::string_view sectionName) const {
  platform::Value sections = readCLSFileAtPath(pathForContentFile(fileName));
  return dateFromSeconds(sections[std::size_t{0}][sectionName]["time"]);
}

}  // namespace sdk
