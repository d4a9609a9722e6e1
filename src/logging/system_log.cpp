#include "logging/system_log.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>

extern char** environ;

namespace logging {

namespace dispatch = platform::dispatch;

const int kLKSystemLogFacility = LOG_LOCAL0;

namespace {

std::mutex gSharedMutex;
std::shared_ptr<LKSystemLog> gShared;  // under gSharedMutex

// Reads one JSON string starting at s[i] == '"'; advances i past it.
bool readString(const std::string& s, std::size_t& i, std::string& out) {
  if (i >= s.size() || s[i] != '"') return false;
  ++i;
  out.clear();
  while (i < s.size()) {
    char c = s[i++];
    if (c == '"') return true;
    if (c != '\\') {
      out.push_back(c);
      continue;
    }
    if (i >= s.size()) return false;
    char e = s[i++];
    switch (e) {
      case 'n':
        out.push_back('\n');
        break;
      case 't':
        out.push_back('\t');
        break;
      case 'r':
        out.push_back('\r');
        break;
      case 'b':
        out.push_back('\b');
        break;
      case 'f':
        out.push_back('\f');
        break;
      case 'u': {
        if (i + 4 > s.size()) return false;
        unsigned cp = static_cast<unsigned>(std::strtoul(s.substr(i, 4).c_str(), nullptr, 16));
        i += 4;
        if (cp < 0x80) {
          out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
          out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
          out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
          out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
          out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
          out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
        break;
      }
      default:
        out.push_back(e);
    }
  }
  return false;
}

// The string members of one flat JSON object (journalctl's json output);
// members of other kinds are skipped.
std::map<std::string, std::string> parseFlatObject(const std::string& line) {
  std::map<std::string, std::string> fields;
  std::size_t i = line.find('{');
  if (i == std::string::npos) return fields;
  ++i;
  std::string key, value;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == ',')) ++i;
    if (i >= line.size() || line[i] == '}') break;
    if (!readString(line, i, key)) break;
    while (i < line.size() && (line[i] == ' ' || line[i] == ':')) ++i;
    if (i < line.size() && line[i] == '"') {
      if (!readString(line, i, value)) break;
      fields[key] = value;
    } else {
      int depth = 0;
      while (i < line.size()) {
        char c = line[i];
        if (c == '[' || c == '{') ++depth;
        if (c == ']' || c == '}') {
          if (depth == 0) break;
          --depth;
        }
        if (c == ',' && depth == 0) break;
        ++i;
        if (depth == 0 && (c == ']' || c == '}')) break;
      }
    }
  }
  return fields;
}

std::string findJournalctl() {
  for (const char* p : {"/usr/bin/journalctl", "/bin/journalctl"}) {
    if (::access(p, X_OK) == 0) return p;
  }
  return {};
}

}  // namespace

std::shared_ptr<LKSystemLog> LKSystemLog::shared() {
  std::lock_guard lock(gSharedMutex);
  if (!gShared) gShared = std::make_shared<LKSyslogSystemLog>();
  return gShared;
}

void LKSystemLog::setShared(std::shared_ptr<LKSystemLog> log) {
  std::lock_guard lock(gSharedMutex);
  gShared = std::move(log);
}

struct LKSyslogSystemLog::Follower {
  pid_t child = -1;
  std::shared_ptr<dispatch::Source> source;
  std::string pending;
  std::uint64_t nextID = 1;
};

LKSyslogSystemLog::~LKSyslogSystemLog() { unwatch(); }

bool LKSyslogSystemLog::send(const LKSystemLogEntry& entry) {
  auto message = entry.find(kLKSystemLogMessageKey);
  auto level = entry.find(kLKSystemLogLevelKey);
  if (message == entry.end() || level == entry.end()) return false;
  int priority = std::atoi(level->second.c_str()) & LOG_PRIMASK;
  auto marker = entry.find(kLKSystemLogMarkerKey);
  int facility = marker != entry.end() && marker->second == "1" ? kLKSystemLogFacility : LOG_USER;
  syslog(facility | priority, "%s", message->second.c_str());
  return true;
}

bool LKSyslogSystemLog::watch(dispatch::QueuePtr queue, Handler handler) {
  std::lock_guard lock(mutex_);
  if (follower_) return false;
  std::string journalctl = findJournalctl();
  if (journalctl.empty() || ::access("/run/systemd/journal/socket", F_OK) != 0) return false;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  std::string match = "_PID=" + std::to_string(::getpid());
  const char* argv[] = {journalctl.c_str(), "--follow",    "--lines=0", "--output=json",
                        "--no-pager",       match.c_str(), nullptr};
  auto follower = std::make_shared<Follower>();
  int rc = posix_spawn(&follower->child, journalctl.c_str(), &actions, nullptr,
                       const_cast<char* const*>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  if (rc != 0) {
    ::close(fds[0]);
    return false;
  }
  int fd = fds[0];
  auto readQueue = dispatch::Queue::createSerial("logkit.systemlog");
  follower->source = dispatch::Source::read(fd, readQueue);
  std::weak_ptr<Follower> weak = follower;
  follower->source->setEventHandler([weak, fd, queue, handler] {
    auto f = weak.lock();
    if (!f) return;
    char buf[8192];
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) {
      f->source->cancel();
      return;
    }
    f->pending.append(buf, static_cast<std::size_t>(n));
    std::vector<LKSystemLogEntry> batch;
    std::size_t nl;
    while ((nl = f->pending.find('\n')) != std::string::npos) {
      auto fields = parseFlatObject(f->pending.substr(0, nl));
      f->pending.erase(0, nl + 1);
      LKSystemLogEntry e;
      if (auto it = fields.find("MESSAGE"); it != fields.end())
        e[kLKSystemLogMessageKey] = it->second;
      if (auto it = fields.find("PRIORITY"); it != fields.end())
        e[kLKSystemLogLevelKey] = it->second;
      if (auto it = fields.find("_PID"); it != fields.end()) e[kLKSystemLogPIDKey] = it->second;
      if (auto it = fields.find("__REALTIME_TIMESTAMP"); it != fields.end()) {
        unsigned long long us = std::strtoull(it->second.c_str(), nullptr, 10);
        e[kLKSystemLogTimeKey] = std::to_string(us / 1000000);
        e[kLKSystemLogTimeNanoSecKey] = std::to_string((us % 1000000) * 1000);
      }
      if (auto it = fields.find("SYSLOG_FACILITY");
          it != fields.end() && it->second == std::to_string(kLKSystemLogFacility >> 3)) {
        e[kLKSystemLogMarkerKey] = "1";
      }
      e[kLKSystemLogMessageIDKey] = std::to_string(f->nextID++);
      batch.push_back(std::move(e));
    }
    if (!batch.empty()) queue->async([handler, batch = std::move(batch)] { handler(batch); });
  });
  pid_t child = follower->child;
  follower->source->setCancelHandler([fd, child] {
    ::close(fd);
    ::kill(child, SIGTERM);
    ::waitpid(child, nullptr, 0);
  });
  follower->source->resume();
  follower_ = follower;
  return true;
}

void LKSyslogSystemLog::unwatch() {
  std::shared_ptr<Follower> f;
  {
    std::lock_guard lock(mutex_);
    f.swap(follower_);
  }
  if (f && f->source) f->source->cancel();
}

}  // namespace logging
