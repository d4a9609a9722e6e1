// The VarnelHelper program's channel under attack from local users: the real
// program, started on demand by the launcher in a temporary system root, is
// approached by a second local user (uid 65534) and by misbehaving peers.
// Each attack must be refused or harmless, the helper must stay the same
// process throughout, and a legitimate client is served afterwards.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "helper/executable_policy.h"
#include "platform/dispatch/dispatch.h"
#include "platform/system/file_util.h"
#include "platform/system/paths.h"
#include "platform/xpc/channel_value.h"
#include "platform/xpc/launcher.h"
#include "platform/xpc/service_names.h"
#include "platform/xpc/wire_codec.h"
#include "support/shell.h"
#include "support/temp_root.h"
#include "support/wait.h"

namespace {

using platform::xpc::ChannelValue;
using Outcome = varnel::testing::ShellOutcome;
namespace wire = platform::xpc::wire;

constexpr uid_t kOtherUser = 65534;

// Memory figures mean something only without the address sanitizer, whose
// quarantine holds freed memory on purpose.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kMemoryIsMeasurable = false;
#else
constexpr bool kMemoryIsMeasurable = true;
#endif

Outcome run(const std::string& command) { return varnel::testing::runShell(command); }

std::string realPath(const std::string& path) {
  char buffer[PATH_MAX];
  return ::realpath(path.c_str(), buffer) ? std::string(buffer) : path;
}

// One frame of the channel holding `message`.
std::vector<std::uint8_t> frameOf(const ChannelValue& message, bool wantsReply = true) {
  auto encoded = wire::encode(message);
  EXPECT_TRUE(encoded);
  wire::FrameHeader header;
  header.length = static_cast<std::uint32_t>(encoded->bytes.size());
  header.wantsReply = wantsReply;
  header.serial = 1;
  std::vector<std::uint8_t> frame(wire::kHeaderSize);
  wire::writeHeader(header, frame.data());
  frame.insert(frame.end(), encoded->bytes.begin(), encoded->bytes.end());
  return frame;
}

// About `size` bytes of archives, each one the payload of the next.
ChannelValue nestedArchives(std::size_t size) {
  ChannelValue inner = ChannelValue::dictionary();
  inner.set("$class", ChannelValue::string("NSURL"));
  inner.set("$value", ChannelValue::string(std::string(size * 3 / 4, 'x')));
  for (;;) {
    auto bytes = wire::encode(inner)->bytes;
    ChannelValue archive = ChannelValue::data(bytes, true);
    if (bytes.size() >= size) return archive;
    inner = ChannelValue::dictionary();
    inner.set("$class", ChannelValue::string("NSError"));
    inner.set("$value", archive);
  }
}

class HelperChannelSecurityTest : public varnel::testing::TempRootTest {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to play another user";
    client_ = realPath(HELPER_TEST_CLIENT);
    launcher = std::make_unique<platform::xpc::Launcher>(
        platform::dispatch::Queue::createSerial("test.launcher"));
    launcher->setObserver([this](const std::string&, pid_t pid, int status) {
      std::lock_guard<std::mutex> lock(mutex);
      if (pid > 0) {
        ++starts;
        helperPid = pid;
        started.signal();
      } else if (pid == 0 || status >= 0) {
        exits.push_back(status);
        helperPid = 0;
      }
      if (pid <= 0) done.signal();
    });
  }
  void TearDown() override {
    if (!launcher) return;
    launcher->stop();
    std::lock_guard<std::mutex> lock(mutex);
    if (helperPid > 0) ::kill(helperPid, SIGKILL);  // only when a test failed half-way
  }

  // Writes the installation's configuration, then starts listening.
  void install(const std::vector<uid_t>& users) {
    std::string conf = "Client=" + client_ + "\n";
    for (uid_t u : users) conf += "User=" + std::to_string(u) + "\n";
    const std::string path = platform::paths::system(helper::kHelperConfigurationPath);
    ASSERT_TRUE(platform::paths::createDirectories(platform::files::parentFolder(path), 0755));
    ASSERT_TRUE(platform::files::writeFileAtomically(path, conf, 0644));
    platform::xpc::LaunchRecord record{"VarnelHelper", VARNEL_HELPER_PATH, {}, {"VarnelHelper"}};
    platform::Error error;
    ASSERT_TRUE(launcher->addRecord(record, &error)) << error.description();
    // Let another user reach the socket's folder, so only the helper decides.
    ASSERT_EQ(
        run("chmod a+rwX '" + platform::paths::runtime() + "' && d='" + platform::paths::runtime() +
            "'; while [ \"$d\" != / ]; do chmod a+x \"$d\"; d=$(dirname \"$d\"); done")
            .status,
        0);
  }

  std::string socketPath() const { return platform::xpc::socketPathForService("VarnelHelper"); }

  sockaddr_un address() const {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, socketPath().c_str(), sizeof addr.sun_path - 1);
    return addr;
  }
  // A raw connection to the helper's socket; -1 when it cannot connect. Only
  // system calls: usable in a forked child.
  static int connectRaw(const sockaddr_un& addr) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
      ::close(fd);
      return -1;
    }
    return fd;
  }
  int connectRaw() const { return connectRaw(address()); }

  // Sends "CurrentConnectionState" on a raw connection and reads the reply;
  // true when a reply with a "result" came.
  static bool requestOn(int fd) {
    ChannelValue message = ChannelValue::dictionary();
    message.set("operation", ChannelValue::string("CurrentConnectionState"));
    message.set("__directReply", ChannelValue::boolean(true));
    std::vector<std::uint8_t> frame = frameOf(message);
    if (::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(frame.size()))
      return false;
    std::vector<std::uint8_t> in;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < deadline) {
      wire::FrameHeader header;
      if (in.size() >= wire::kHeaderSize && wire::readHeader(in.data(), &header) &&
          in.size() >= wire::kHeaderSize + header.length) {
        auto reply = wire::decode(in.data() + wire::kHeaderSize, header.length, {});
        return header.kind == wire::FrameKind::Reply && reply && reply->get("result");
      }
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 200) <= 0) continue;
      std::uint8_t buffer[4096];
      ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n <= 0) return false;
      in.insert(in.end(), buffer, buffer + n);
    }
    return false;
  }

  // Waits until the helper closes `fd` (true), reading and dropping whatever
  // it sends first.
  static bool closedByHelper(int fd, int seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    char buffer[4096];
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 200) <= 0) continue;
      ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n <= 0) return true;
    }
    return false;
  }

  pid_t helper() {
    EXPECT_TRUE(started.wait(std::chrono::seconds(20)));
    std::lock_guard<std::mutex> lock(mutex);
    return helperPid;
  }

  // A "VmHWM"/"VmRSS" figure of the helper in kB.
  static long memoryOf(pid_t pid, const std::string& field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
      if (line.rfind(field + ":", 0) == 0) return std::atol(line.c_str() + field.size() + 1);
    return -1;
  }
  static int descriptorsOf(pid_t pid) {
    Outcome r = run("ls /proc/" + std::to_string(pid) + "/fd | wc -l");
    return std::atoi(r.output.c_str());
  }

  // A legitimate client's request; its output.
  std::string legitimateRequest() {
    Outcome r = run("'" + client_ + "' request operation=CurrentConnectionState");
    EXPECT_EQ(r.status, 0) << r.output;
    return r.output;
  }

  // The helper has ended with its client, and was one process all along.
  void expectOneHelperThatEndedWithItsClient() {
    EXPECT_TRUE(done.wait(std::chrono::seconds(20)));
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(starts, 1);
    ASSERT_EQ(exits.size(), 1u);
    EXPECT_TRUE(WIFEXITED(exits[0]) && WEXITSTATUS(exits[0]) == 0) << exits[0];
  }

  std::string client_;
  std::unique_ptr<platform::xpc::Launcher> launcher;
  std::mutex mutex;
  int starts = 0;
  pid_t helperPid = 0;
  std::vector<int> exits;
  platform::dispatch::Semaphore started, done;
};

TEST_F(HelperChannelSecurityTest, InstalledClientRunByAnotherUserWithAnInjectedLibraryIsRefused) {
  install({4242, 4243});
  // A library injected into the installed client, as another user would.
  const std::string folder = platform::paths::runtime();
  const std::string source = root().path() + "/inject.c";
  const std::string library = folder + "/inject.so";
  ASSERT_TRUE(platform::files::writeFileAtomically(
      source,
      "#include <stdio.h>\n"
      "__attribute__((constructor)) static void injected(void) {\n"
      "  fprintf(stderr, \"injected\\n\");\n"
      "}\n",
      0644));
  ASSERT_EQ(run("cc -shared -fPIC -o '" + library + "' '" + source + "'").status, 0);
  ASSERT_EQ(::chmod(library.c_str(), 0755), 0);

  Outcome other =
      run("setpriv --reuid=65534 --regid=65534 --clear-groups env "
          "ASAN_OPTIONS=verify_asan_link_order=0 LD_PRELOAD='" +
          library + "' '" + client_ + "' request operation=CurrentConnectionState 2>&1");
  EXPECT_NE(other.output.find("injected"), std::string::npos) << other.output;
  EXPECT_EQ(other.status, 3) << other.output;  // no reply: refused
  EXPECT_EQ(other.output.find("reply"), std::string::npos) << other.output;

  // The same user's requests never reached the helper's handler: its log has
  // no request of theirs, and the helper serves its legitimate client.
  EXPECT_EQ(legitimateRequest(), "reply 0\n");
  expectOneHelperThatEndedWithItsClient();
  ::unlink(library.c_str());
}

TEST_F(HelperChannelSecurityTest, SocketBelongsToTheOneAuthorizedUser) {
  install({4242});
  EXPECT_EQ(legitimateRequest(), "reply 0\n");
  expectOneHelperThatEndedWithItsClient();
  struct stat st;
  ASSERT_EQ(::lstat(socketPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 4242u);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// A real install's socket folder lets only the recorded users pass (its
// access list): the helper leaves the socket open to all of them, also to a
// user recorded after the helper started, and never hands it to one.
TEST_F(HelperChannelSecurityTest, SocketInAClosedFolderIsLeftToTheFolder) {
  install({4242});
  struct stat st;
  const std::string folder = platform::files::parentFolder(socketPath());
  ASSERT_EQ(::stat(folder.c_str(), &st), 0);
  if (st.st_uid != 0) GTEST_SKIP() << "the runtime folder is not root's";
  ASSERT_EQ(::chmod(folder.c_str(), 0710), 0);
  EXPECT_EQ(legitimateRequest(), "reply 0\n");
  expectOneHelperThatEndedWithItsClient();
  ASSERT_EQ(::lstat(socketPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(st.st_mode & 0777, 0666u);
  ::chmod(folder.c_str(), 0755);
}

TEST_F(HelperChannelSecurityTest, NestedArchivesMalformedFramesAndFloodsAreHarmless) {
  install({4242, 4243});
  // Start the helper with a first (root) peer: the client, which stays
  // connected throughout (its end would end the helper).
  int first = connectRaw();
  ASSERT_GE(first, 0);
  const pid_t pid = helper();
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(requestOn(first));

  // 1. A 480 KB message of nested archives, under the key the channel reads
  //    for every message: that peer is dropped, the helper stays small.
  {
    ChannelValue message = ChannelValue::dictionary();
    message.set("operation", ChannelValue::string("CurrentConnectionState"));
    message.set("XPCDebugLog", nestedArchives(480 * 1024));
    std::vector<std::uint8_t> frame = frameOf(message);
    EXPECT_GE(frame.size(), 480u * 1024);
    int fd = connectRaw();
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(frame.size()));
    EXPECT_TRUE(closedByHelper(fd, 20));
    ::close(fd);
    if (kMemoryIsMeasurable) {
      EXPECT_LT(memoryOf(pid, "VmHWM"), 96 * 1024) << "kB at peak";
    }
  }

  // 2. Malformed frames: a bad header, and a good header with a bad payload.
  {
    int fd = connectRaw();
    ASSERT_GE(fd, 0);
    const char junk[] = "GET / HTTP/1.1\r\nHost: x\r\n\r\n";
    ASSERT_GT(::send(fd, junk, sizeof junk - 1, MSG_NOSIGNAL), 0);
    EXPECT_TRUE(closedByHelper(fd, 20));
    ::close(fd);
    std::vector<std::uint8_t> frame = frameOf(ChannelValue::dictionary());
    frame[wire::kHeaderSize] = 0xEE;  // unknown type tag
    fd = connectRaw();
    ASSERT_GE(fd, 0);
    ASSERT_GT(::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL), 0);
    EXPECT_TRUE(closedByHelper(fd, 20));
    ::close(fd);
  }

  // 3. A forged channel error: a peer may not speak for the channel.
  {
    ChannelValue message = ChannelValue::dictionary();
    message.set("__XPCError", ChannelValue::error(platform::xpc::ChannelError::ConnectionInvalid));
    std::vector<std::uint8_t> frame = frameOf(message);
    int fd = connectRaw();
    ASSERT_GE(fd, 0);
    ASSERT_GT(::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL), 0);
    EXPECT_TRUE(closedByHelper(fd, 20));
    ::close(fd);
  }

  // 4. 10,000 connections: most one after another (half of them by the other
  //    user, who is refused), some 500 open at once.
  const int descriptorsBefore = descriptorsOf(pid);
  const sockaddr_un addr = address();
  pid_t flood = ::fork();
  ASSERT_GE(flood, 0);
  if (flood == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setresgid(kOtherUser, kOtherUser, kOtherUser) != 0 ||
        ::setresuid(kOtherUser, kOtherUser, kOtherUser) != 0)
      ::_exit(2);
    int refused = 0;
    for (int i = 0; i < 4500; ++i) {
      int fd = connectRaw(addr);
      if (fd < 0) continue;
      char b;
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 5000) == 1 && ::read(fd, &b, 1) == 0) ++refused;
      ::close(fd);
    }
    ::_exit(refused == 4500 ? 0 : 1);
  }
  for (int i = 0; i < 5000; ++i) {
    int fd = connectRaw();
    ASSERT_GE(fd, 0) << i;
    ::close(fd);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(flood, &status, 0), flood);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "refused: " << status;
  std::vector<int> open;
  for (int i = 0; i < 500; ++i) {
    int fd = connectRaw();
    ASSERT_GE(fd, 0) << i;
    open.push_back(fd);
  }
  // The client is served while all are open.
  EXPECT_TRUE(requestOn(first));
  for (int fd : open) ::close(fd);
  // After the flood the helper holds no more descriptors than before.
  EXPECT_TRUE(varnel::testing::waitUntil(
      [&] { return descriptorsOf(pid) <= descriptorsBefore + 2; }, std::chrono::seconds(20)))
      << descriptorsOf(pid) << " descriptors, " << descriptorsBefore << " before";
  if (kMemoryIsMeasurable) {
    EXPECT_LT(memoryOf(pid, "VmRSS"), 64 * 1024) << "kB";
  }

  // 5. A sender of one byte a second is dropped within the peer frame time,
  //    and a client is served in the meantime.
  {
    std::vector<std::uint8_t> frame = frameOf(ChannelValue::dictionary());
    int fd = connectRaw();
    ASSERT_GE(fd, 0);
    const auto start = std::chrono::steady_clock::now();
    bool closed = false;
    bool servedMeanwhile = false;
    for (std::size_t i = 0; i < frame.size() - 1 && !closed; ++i) {
      if (::send(fd, &frame[i], 1, MSG_NOSIGNAL) != 1) {
        closed = true;
        break;
      }
      if (i == 2) servedMeanwhile = requestOn(first);
      closed = closedByHelper(fd, 1);  // the pace: one byte a second
    }
    EXPECT_TRUE(servedMeanwhile);
    EXPECT_TRUE(closed || closedByHelper(fd, 15));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(25));
    ::close(fd);
  }

  // The helper is the same process, and serves a new legitimate client; it
  // ends once the last connection its clients spoke on has ended (the first
  // one is still open while the new client comes and goes).
  {
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(starts, 1);
    EXPECT_TRUE(exits.empty());
  }
  EXPECT_TRUE(requestOn(first));
  EXPECT_EQ(legitimateRequest(), "reply 0\n");
  EXPECT_TRUE(requestOn(first));
  ::close(first);
  expectOneHelperThatEndedWithItsClient();
}

}  // namespace
