#include "platform/xpc/service_names.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

#include "platform/system/paths.h"

namespace platform::xpc {

namespace {

Error serviceError(int code, const std::string& text) {
  return Error(kServiceErrorDomain, code, Value::dictionary({{kLocalizedDescriptionKey, text}}));
}

bool endsWith(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

}  // namespace

std::string socketPathForService(std::string_view name) {
  if (name.empty() || name.find('/') != std::string_view::npos || name == "." || name == "..") {
    return "";
  }
  std::string path = paths::runtime() + "/" + std::string(name) + ".sock";
  if (path.size() >= sizeof(sockaddr_un{}.sun_path)) return "";
  return path;
}

std::string launchRecordPath(std::string_view label) {
  return paths::launchDaemons() + "/" + std::string(label) + ".service";
}

std::optional<LaunchRecord> readLaunchRecord(const std::string& path, Error* error) {
  std::ifstream in(path);
  if (!in) {
    if (error) *error = Error::posix(errno ? errno : ENOENT, path);
    return std::nullopt;
  }
  LaunchRecord r;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    if (key == "Label") {
      r.label = value;
    } else if (key == "Program") {
      r.program = value;
    } else if (key == "ProgramArguments") {
      r.programArguments.push_back(value);
    } else if (key == "MachServices") {
      r.machServices.push_back(value);
    }
  }
  if (r.label.empty() || r.program.empty() || r.machServices.empty()) {
    if (error) *error = serviceError(2, "Launch record " + path + " is incomplete");
    return std::nullopt;
  }
  return r;
}

bool writeLaunchRecord(const LaunchRecord& r, const std::string& path, Error* error) {
  std::ostringstream out;
  auto put = [&](const char* key, const std::string& value) {
    if (value.find_first_of("\r\n") != std::string::npos) return false;
    out << key << '=' << value << '\n';
    return true;
  };
  bool ok = put("Label", r.label) && put("Program", r.program);
  for (const auto& a : r.programArguments) ok = ok && put("ProgramArguments", a);
  for (const auto& s : r.machServices) ok = ok && put("MachServices", s);
  if (!ok) {
    if (error) *error = serviceError(3, "Launch record values must be single lines");
    return false;
  }
  std::string tmp = path + ".tmp.XXXXXX";
  int fd = ::mkstemp(tmp.data());
  if (fd < 0) {
    if (error) *error = Error::posix(errno, path);
    return false;
  }
  std::string text = out.str();
  const char* p = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int e = errno;
      ::close(fd);
      ::unlink(tmp.c_str());
      if (error) *error = Error::posix(e, path);
      return false;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  ::fchmod(fd, 0644);
  if (::fsync(fd) != 0 || ::close(fd) != 0 || ::rename(tmp.c_str(), path.c_str()) != 0) {
    int e = errno;
    ::unlink(tmp.c_str());
    if (error) *error = Error::posix(e, path);
    return false;
  }
  return true;
}

std::vector<LaunchRecord> readLaunchRecords(const std::string& directory) {
  std::string dir = directory.empty() ? paths::launchDaemons() : directory;
  std::vector<LaunchRecord> records;
  DIR* d = ::opendir(dir.c_str());
  if (!d) return records;
  std::vector<std::string> names;
  while (dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    if (endsWith(name, ".service")) names.push_back(name);
  }
  ::closedir(d);
  std::sort(names.begin(), names.end());
  for (const auto& n : names) {
    if (auto r = readLaunchRecord(dir + "/" + n)) records.push_back(std::move(*r));
  }
  return records;
}

int takeActivatedListener() {
  static std::once_flag once;
  static int taken = -1;
  static bool handedOut = false;
  static std::mutex mutex;
  std::call_once(once, [] {
    const char* fds = std::getenv("LISTEN_FDS");
    const char* pid = std::getenv("LISTEN_PID");
    bool mine =
        fds && pid && std::atol(pid) == static_cast<long>(::getpid()) && std::atoi(fds) >= 1;
    ::unsetenv("LISTEN_FDS");
    ::unsetenv("LISTEN_PID");
    ::unsetenv("LISTEN_FDNAMES");
    if (!mine) return;
    const int fd = 3;
    int type = 0, listening = 0;
    socklen_t len = sizeof type;
    sockaddr_storage addr{};
    socklen_t alen = sizeof addr;
    if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0 || type != SOCK_STREAM) return;
    len = sizeof listening;
    if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len) != 0 || !listening) return;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &alen) != 0 ||
        addr.ss_family != AF_UNIX) {
      return;
    }
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    taken = fd;
  });
  std::lock_guard<std::mutex> lock(mutex);
  if (handedOut) return -1;
  handedOut = true;
  return taken;
}

std::string mainServiceName() {
  if (const char* n = std::getenv("VARNEL_SERVICE_NAME"); n && *n) return n;
  char buf[4096];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "";
  std::string path(buf, static_cast<std::size_t>(n));
  auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace platform::xpc
