#include "sdk/crash/capture/ctr_host.h"

#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>

#include "platform/system/current_locale.h"
#include "platform/system/paths.h"
#include "sdk/crash/capture/ctr_context.h"
#include "sdk/crash/capture/ctr_sdk_log.h"
#include "sdk/crash/ctr_utils.h"

namespace sdk {

namespace {

constexpr std::uint64_t kPageSize = 4096;
constexpr const char* kCPUBrandName = "machdep.cpu.brand_string";

bool isDirectory(const std::string& path) {
  struct stat info {};
  return !path.empty() && ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The processor's brand text: the first "model name" of /proc/cpuinfo
// (x86), else its "Model" or "Hardware" line (boards).
std::optional<std::string> cpuBrandString() {
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  std::optional<std::string> fallback;
  while (std::getline(in, line)) {
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string key = line.substr(0, colon);
    while (!key.empty() && (key.back() == ' ' || key.back() == '\t')) key.pop_back();
    std::string value = line.substr(colon + 1);
    const std::size_t first = value.find_first_not_of(" \t");
    value = first == std::string::npos ? std::string() : value.substr(first);
    if (value.empty()) continue;
    if (key == "model name") return value;
    if (!fallback && (key == "Model" || key == "Hardware")) fallback = value;
  }
  return fallback;
}

}  // namespace

std::string CTRHostDocumentsDirectory() {
  if (const char* xdg = std::getenv("XDG_DOCUMENTS_DIR"); xdg != nullptr && xdg[0] == '/') {
    return xdg;
  }
  const std::string home = platform::paths::home();
  if (home.empty()) return {};
  const std::string documents = home + "/Documents";
  return isDirectory(documents) ? documents : home;
}

void CTRHostInitialize() {
  CTRContext* context = ctrContext;
  if (context == nullptr) return;
  context->host.pageSize = CTRHostGetPageSize();
  const std::string documents = CTRHostDocumentsDirectory();
  context->host.documentsDirectory =
      documents.empty() ? nullptr : CTRCrashContextCopyString(documents.c_str());
}

std::uint64_t CTRHostGetPageSize() {
  if (::sysconf(_SC_PAGESIZE) <= 0) {
    CTR_SDK_LOG_WARN("sysctlbyname failed while trying to get hw.pagesize\n");
  }
  return kPageSize;
}

std::uint32_t CTRHostGetOSVersionNumberFor(const BCNOperatingSystemVersion& version) {
  // The SDK's table, which also knows minor version 12; crash capture's
  // choice of exception mask stops at 11.
  return version.minorVersion <= 11 ? BCNHostGetOSVersionNumberFor(version) : 0;
}

std::uint32_t CTRHostGetOSVersionNumber() {
  return CTRHostGetOSVersionNumberFor(BCNHostGetOSVersion());
}

bool CTRHostReadSysctlString(const char* sysctlName, char* buffer, std::size_t size) {
  if (sysctlName == nullptr || buffer == nullptr || size == 0) return false;
  const std::optional<std::string> value = std::strcmp(sysctlName, kCPUBrandName) == 0
                                               ? cpuBrandString()
                                               : BCNHostGetSysctlString(sysctlName);
  if (!value || value->size() + 1 > size) return false;
  std::memcpy(buffer, value->c_str(), value->size() + 1);
  return true;
}

void CTRHostWriteSysctlString(CTRFile* file, const char* field, const char* sysctlName,
                              char* buffer) {
  const bool ok = CTRHostReadSysctlString(sysctlName, buffer, kCTRHostSysctlBufferSize);
  CTRFileWriteStringField(file, field, ok ? buffer : kCTRHostFailedValue);
}

bool CTRHostRecordInfo(CTRFile* file) {
  char buffer[kCTRHostSysctlBufferSize];
  const std::optional<std::string> model = BCNHostGetModel();
  const std::optional<std::string> build = BCNHostGetOSBuildVersion();
  const std::string display = BCNHostGetOSDisplayVersion();
  const std::string locale = platform::CurrentLocale::identifier();

  CTRFileBeginSection(file, "host");
  CTRFileBeginObject(file);
  CTRFileWriteStringField(file, "model", model ? model->c_str() : nullptr);
  CTRHostWriteSysctlString(file, "machine", "hw.machine", buffer);
  CTRHostWriteSysctlString(file, "cpu", kCPUBrandName, buffer);
  CTRFileWriteStringField(file, "os_build_version", build ? build->c_str() : nullptr);
  CTRFileWriteStringField(file, "os_display_version", display.c_str());
  CTRFileWriteStringField(file, "platform", kCTRHostPlatform);
  CTRFileWriteStringField(file, "locale", locale.c_str());
  CTRFileEndObject(file);
  CTRFileEndSection(file);
  return true;
}

void CTRHostRecordStorage(CTRFile* file) {
  CTRFileBeginSection(file, "storage");
  CTRFileBeginObject(file);
  const CTRContext* context = ctrContext;
  const char* path = context != nullptr ? context->host.documentsDirectory : nullptr;
  struct statfs info {};
  if (CTRIsValidPointer(path) && ::statfs(path, &info) == 0) {
    // Block counts are in fragment-size units where the file system has one.
    const std::uint64_t blockSize = info.f_frsize > 0 ? static_cast<std::uint64_t>(info.f_frsize)
                                                      : static_cast<std::uint64_t>(info.f_bsize);
    CTRFileWriteUnsignedField(file, "free", blockSize * static_cast<std::uint64_t>(info.f_bavail));
    CTRFileWriteUnsignedField(file, "total", blockSize * static_cast<std::uint64_t>(info.f_blocks));
  }
  CTRFileEndObject(file);
  CTRFileEndSection(file);
}

}  // namespace sdk
