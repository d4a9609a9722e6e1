#include "support/nm_mock.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

namespace varnel::testing {

std::string supportFile(const std::string& name) {
  const char* source = std::getenv("VARNEL_SOURCE_DIR");
  return std::string(source ? source : VARNEL_TEST_SOURCE_DIR) + "/tests/support/" + name;
}

NMMock::~NMMock() { stop(); }

bool NMMock::start() {
  if (std::system("/usr/bin/python3 -c 'import dbusmock' >/dev/null 2>&1") != 0) {
    skipReason_ = "python3-dbusmock is not installed";
    return false;
  }
  if (std::system("command -v dbus-daemon >/dev/null 2>&1") != 0) {
    skipReason_ = "dbus-daemon is not installed";
    return false;
  }
  // The private bus runs in namespaces of its own where the test may make
  // them; its socket is a file, so the test reaches it from here.
  const bool isolate =
      ::geteuid() == 0 && std::system("unshare --net --pid --fork true >/dev/null 2>&1") == 0;
  int toChild[2], fromChild[2];
  if (::pipe2(toChild, O_CLOEXEC) != 0) return false;
  if (::pipe2(fromChild, O_CLOEXEC) != 0) return false;
  const std::string script = supportFile("nm_mock.py");
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(toChild[0], 0);
    ::dup2(fromChild[1], 1);
    if (isolate)
      ::execl("/usr/bin/unshare", "unshare", "--net", "--pid", "--fork", "--kill-child",
              "/usr/bin/python3", script.c_str(), static_cast<char*>(nullptr));
    else
      ::execl("/usr/bin/python3", "python3", script.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(toChild[0]);
  ::close(fromChild[1]);
  in_ = toChild[1];
  out_ = fromChild[0];
  std::string first = readLine(20000);
  if (first.rfind("address ", 0) != 0) {
    skipReason_ = "the NetworkManager mock did not start: " + first;
    stop();
    return false;
  }
  address_ = first.substr(8);
  return true;
}

std::string NMMock::readLine(int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    std::size_t nl = buffer_.find('\n');
    if (nl != std::string::npos) {
      std::string line = buffer_.substr(0, nl);
      buffer_.erase(0, nl + 1);
      return line;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0 || out_ < 0) return "error time-out";
    pollfd p{out_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    char chunk[4096];
    ssize_t n = ::read(out_, chunk, sizeof chunk);
    if (n <= 0) return "error the mock has ended";
    buffer_.append(chunk, static_cast<std::size_t>(n));
  }
}

std::string NMMock::command(const std::string& line) {
  if (in_ < 0) return "error not running";
  const std::string text = line + "\n";
  if (::write(in_, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
    return "error write";
  std::string answer = readLine(20000);
  if (answer == "ok") return "";
  if (answer.rfind("ok ", 0) == 0) return answer.substr(3);
  return answer;
}

void NMMock::stop() {
  if (in_ >= 0) {
    ::close(in_);  // the end of its input ends the mock and its bus
    in_ = -1;
  }
  if (pid_ > 0) {
    int status;
    // A safety net: a mock that does not end on its own within 20 s is
    // killed (its PID namespace takes the bus with it).
    for (int i = 0; i < 200; ++i) {
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        break;
      }
      pollfd p{out_, POLLIN, 0};
      ::poll(&p, out_ >= 0 ? 1 : 0, 100);
      if (out_ >= 0) {
        char sink[512];
        if (::read(out_, sink, sizeof sink) <= 0) {
          ::close(out_);
          out_ = -1;
        }
      }
    }
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      pid_ = -1;
    }
  }
  if (out_ >= 0) {
    ::close(out_);
    out_ = -1;
  }
}

}  // namespace varnel::testing
