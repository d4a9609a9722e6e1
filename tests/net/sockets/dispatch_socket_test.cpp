#include "net/sockets/dispatch_socket.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "net/sockets/dispatch_socket_test_support.h"
#include "net/sockets/socket_error.h"
#include "support/manual_clock.h"
#include "support/temp_dir.h"

namespace net::sockets {
namespace {

using platform::dispatch::Queue;
using testing::Event;
using testing::RawListener;
using testing::RecordingDelegate;

class DispatchSocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    delegateQueue = Queue::createSerial("delegate");
    delegate = std::make_shared<RecordingDelegate>(delegateQueue);
    sock = DispatchSocket::create(delegate, delegateQueue);
  }
  void TearDown() override {
    sock.reset();
    for (int fd : peers) ::close(fd);
  }

  // Makes `sock` anew with its time-outs on `clock`, which the test moves.
  void useManualClock() { sock = DispatchSocket::create(delegate, delegateQueue, nullptr, clock); }
  // Lets what a move of the clock set off run its course: the socket's
  // time-out handler, the delegate's question and the socket's use of the
  // answer.
  void settle() {
    sock->performBlock([] {});
    delegateQueue->sync([] {});
    sock->performBlock([] {});
  }

  // Connects `sock` to a raw listener and returns the accepted peer descriptor.
  int connectToRaw(RawListener& listener, const char* host = "127.0.0.1") {
    platform::Error error;
    EXPECT_TRUE(sock->connectToHost(host, listener.port(), 5, &error)) << error.description();
    const int peer = listener.accept();
    EXPECT_GE(peer, 0);
    peers.push_back(peer);
    EXPECT_EQ(delegate->waitFor("connect").kind, "connect");
    return peer;
  }

  QueuePtr delegateQueue;
  std::shared_ptr<RecordingDelegate> delegate;
  DispatchSocketPtr sock;
  std::vector<int> peers;
  std::shared_ptr<varnel::testing::ManualClock> clock = varnel::testing::ManualClock::create();
};

// --- set-up and configuration ------------------------------------------------------------------

TEST_F(DispatchSocketTest, ConfigurationIsOrderedOnTheSocketQueue) {
  EXPECT_TRUE(sock->isIPv4Enabled());
  sock->setIPv4Enabled(false);  // asynchronous, yet ordered before the getter
  EXPECT_FALSE(sock->isIPv4Enabled());
  sock->setIPv4PreferredOverIPv6(false);
  EXPECT_FALSE(sock->isIPv4PreferredOverIPv6());
  sock->setAutoDisconnectOnClosedReadStream(false);
  EXPECT_FALSE(sock->autoDisconnectOnClosedReadStream());
  sock->setAlternateAddressDelay(1.5);
  EXPECT_DOUBLE_EQ(sock->alternateAddressDelay(), 1.5);
  EXPECT_EQ(sock->socketQueue()->label(), "DispatchSocket");
  EXPECT_EQ(sock->delegate(), delegate);
  EXPECT_EQ(sock->socketFD(), -1);
  // Getters run inline on the socket queue.
  bool inner = true;
  sock->performBlock([&] { inner = sock->isIPv4Enabled(); });
  EXPECT_FALSE(inner);
}

TEST_F(DispatchSocketTest, MarkedTargetQueueCountsAsTheSocketQueue) {
  auto target = Queue::createSerial("target");
  auto sockOnTarget =
      DispatchSocket::create(delegate, delegateQueue, Queue::createSerial("sockq", target));
  sockOnTarget->markSocketQueueTargetQueue(target);
  platform::dispatch::Semaphore done;
  int fd = 0;
  target->async([&] {
    fd = sockOnTarget->socketFD();  // -1 but answered without waiting on the queue
    done.signal();
  });
  ASSERT_TRUE(done.wait(std::chrono::seconds(5)));
  EXPECT_EQ(fd, -1);
  sockOnTarget->unmarkSocketQueueTargetQueue(target);
}

// --- connecting ---------------------------------------------------------------------------------

TEST_F(DispatchSocketTest, ConnectsToIPv4AndReportsBothEnds) {
  RawListener listener;
  connectToRaw(listener);
  Event e = delegate->waitFor("connect");
  EXPECT_EQ(e.host, "127.0.0.1");
  EXPECT_EQ(e.port, listener.port());
  EXPECT_EQ(e.socket.lock(), sock);
  EXPECT_TRUE(e.onDelegateQueue);
  EXPECT_TRUE(sock->isConnected());
  EXPECT_TRUE(sock->isIPv4());
  EXPECT_FALSE(sock->isIPv6());
  EXPECT_EQ(sock->connectedHost(), "127.0.0.1");
  EXPECT_EQ(sock->connectedPort(), listener.port());
  EXPECT_EQ(sock->localHost(), "127.0.0.1");
  EXPECT_NE(sock->localPort(), 0);
  EXPECT_EQ(portFromAddress(sock->connectedAddress()), listener.port());
  EXPECT_EQ(sock->socketFD(), -1);  // off the socket queue
}

TEST_F(DispatchSocketTest, ConnectsToIPv6Loopback) {
  if (!testing::hasIPv6Loopback()) GTEST_SKIP() << "no ::1";
  RawListener listener(AF_INET6);
  connectToRaw(listener, "::1");
  EXPECT_EQ(delegate->waitFor("connect").host, "::1");
  EXPECT_TRUE(sock->isIPv6());
}

TEST_F(DispatchSocketTest, LocalhostWithIPv6DisabledUsesOnlyIPv4) {
  RawListener listener;
  sock->setIPv6Enabled(false);
  connectToRaw(listener, "localhost");
  EXPECT_EQ(delegate->waitFor("connect").host, "127.0.0.1");
  EXPECT_EQ(delegate->count("connect"), 1u);
}

TEST_F(DispatchSocketTest, LocalhostWithBothFamiliesConnectsOnceAndClosesTheOther) {
  // Only IPv4 listens; IPv6 (if any) is tried 0.3 s later or fails: either
  // way one connect callback, and no descriptor is closed twice.
  RawListener listener;
  connectToRaw(listener, "localhost");
  std::this_thread::yield();
  sock->performBlock([] {});
  EXPECT_EQ(delegate->count("connect"), 1u);
  EXPECT_EQ(delegate->count("disconnect"), 0u);
}

std::size_t openDescriptors() {
  std::size_t n = 0;
  for (int fd = 0; fd < 4096; ++fd) n += ::fcntl(fd, F_GETFD) != -1;
  return n;
}

TEST_F(DispatchSocketTest, PreferredFamilyRefusedFallsBackToTheOther) {
  // Only IPv4 listens. IPv6 goes first and is refused; its descriptor is
  // closed, and IPv4 connects after the alternate-address delay.
  RawListener listener;
  const std::size_t before = openDescriptors();
  sock->setIPv4PreferredOverIPv6(false);
  sock->setAlternateAddressDelay(0.05);
  ASSERT_TRUE(sock->connectToHost("localhost", listener.port(), 5));
  const int peer = listener.accept();
  ASSERT_GE(peer, 0);
  EXPECT_EQ(delegate->waitFor("connect").host, "127.0.0.1");
  EXPECT_EQ(delegate->count("disconnect"), 0u);
  sock->disconnect();
  delegate->waitFor("disconnect");
  ::close(peer);
  sock->performBlock([] {});
  // Every descriptor of the attempt is gone (the dispatch layer may keep
  // its own, so allow for a small, fixed difference only once).
  EXPECT_LE(openDescriptors(), before + 2);
}

TEST_F(DispatchSocketTest, LateTimeoutAnswerDoesNotApplyToALaterRead) {
  // The delegate answers a read time-out only after the connection was
  // closed and a new one made; its "no extension" answer must not close
  // the new connection or touch its read.
  struct Slow : RecordingDelegate {
    using RecordingDelegate::RecordingDelegate;
    double socketShouldTimeoutReadWithTag(const DispatchSocketPtr& s, long tag, double elapsed,
                                          std::size_t done) override {
      RecordingDelegate::socketShouldTimeoutReadWithTag(s, tag, elapsed, done);
      release.wait(std::chrono::seconds(20));
      return 0;
    }
    platform::dispatch::Semaphore release;
  };
  auto slowQueue = Queue::createSerial("slow");
  auto slow = std::make_shared<Slow>(slowQueue);
  auto other = DispatchSocket::create(slow, slowQueue, nullptr, clock);
  RawListener listener;
  ASSERT_TRUE(other->connectToHost("127.0.0.1", listener.port(), 5));
  peers.push_back(listener.accept());
  ASSERT_EQ(slow->waitFor("connect").kind, "connect");
  other->readDataWithTimeout(0.05, 1);
  other->performBlock([] {});  // the read and its timer have started
  clock->advance(std::chrono::milliseconds(50));
  ASSERT_EQ(slow->waitFor("readTimeout").kind, "readTimeout");
  // Close and reconnect while the answer is pending; the socket queue is free.
  other->disconnect();
  ASSERT_TRUE(other->connectToHost("127.0.0.1", listener.port(), 5));
  const int peer = listener.accept();
  peers.push_back(peer);
  other->readDataToLength(2, -1, 2);
  other->performBlock([] {});
  slow->release.signal();  // the stale answer: 0
  testing::rawSend(peer, "ok");
  EXPECT_EQ(slow->waitFor("read").data, "ok");
  EXPECT_TRUE(other->isConnected());
  EXPECT_EQ(slow->count("disconnect"), 1u);  // only the requested close
}

TEST_F(DispatchSocketTest, ConnectWithoutTimeoutSucceeds) {
  RawListener listener;
  ASSERT_TRUE(sock->connectToHost("127.0.0.1", listener.port()));
  EXPECT_EQ(delegate->waitFor("connect").port, listener.port());
}

TEST_F(DispatchSocketTest, RefusedConnectClosesWithThePosixError) {
  std::uint16_t port;
  {
    RawListener gone;
    port = gone.port();
  }
  ASSERT_TRUE(sock->connectToHost("127.0.0.1", port, 5));
  Event e = delegate->waitFor("disconnect");
  ASSERT_EQ(e.kind, "disconnect");
  EXPECT_EQ(e.error.domain(), platform::kPOSIXErrorDomain);
  EXPECT_EQ(e.error.code(), ECONNREFUSED);
  EXPECT_EQ(e.error.localizedFailureReason(), "Error in connect() function");
  EXPECT_TRUE(sock->isDisconnected());
}

TEST_F(DispatchSocketTest, ZeroTimeoutClosesAtOnceAndLateResultIsIgnored) {
  RawListener listener;
  ASSERT_TRUE(sock->connectToHost("127.0.0.1", listener.port(), 0.0));
  Event e = delegate->waitFor("disconnect");
  EXPECT_EQ(e.error.domain(), kDispatchSocketErrorDomain);
  EXPECT_EQ(e.error.code(), kDispatchSocketConnectTimeoutError);
  EXPECT_EQ(e.error.localizedDescription(), "Attempt to connect to host timed out");
  sock->performBlock([] {});
  EXPECT_EQ(delegate->count("connect"), 0u);
  EXPECT_FALSE(sock->isConnected());
}

TEST_F(DispatchSocketTest, ConnectChecksRefuseAtOnce) {
  platform::Error error;
  auto lonely = DispatchSocket::create();
  EXPECT_FALSE(lonely->connectToHost("127.0.0.1", 1, &error));
  EXPECT_EQ(error.code(), kDispatchSocketBadConfigError);
  EXPECT_EQ(error.localizedDescription(),
            "Attempting to connect without a delegate. Set a delegate first.");

  auto noQueue = DispatchSocket::create(delegate);
  EXPECT_FALSE(noQueue->connectToHost("127.0.0.1", 1, &error));
  EXPECT_EQ(error.localizedDescription(),
            "Attempting to connect without a delegate queue. Set a delegate queue first.");

  EXPECT_FALSE(sock->connectToHost("", 1, &error));
  EXPECT_EQ(error.code(), kDispatchSocketBadParamError);

  Bytes bad = loopbackAddress6(1);
  bad.resize(16);
  EXPECT_FALSE(sock->connectToAddress(bad, &error));
  EXPECT_EQ(error.localizedDescription(), "A valid IPv4 or IPv6 address was not given");

  sock->setIPv4Enabled(false);
  sock->setIPv6Enabled(false);
  EXPECT_FALSE(sock->connectToHost("127.0.0.1", 1, &error));
  EXPECT_EQ(error.localizedDescription(),
            "Both IPv4 and IPv6 have been disabled. Must enable at least one protocol first.");
  sock->setIPv4Enabled(true);
  sock->setIPv6Enabled(true);
  EXPECT_FALSE(sock->connectToHost("127.0.0.1", 1, "no-such-if0", -1, &error));
  EXPECT_EQ(error.code(), kDispatchSocketBadParamError);

  RawListener listener;
  ASSERT_TRUE(sock->connectToHost("127.0.0.1", listener.port(), 5, &error));
  EXPECT_FALSE(error);
  EXPECT_FALSE(sock->connectToHost("127.0.0.1", listener.port(), 5, &error));
  EXPECT_EQ(error.localizedDescription(),
            "Attempting to connect while connected or accepting connections. Disconnect first.");
}

TEST_F(DispatchSocketTest, ConnectToAddressAndViaInterface) {
  RawListener listener;
  platform::Error error;
  ASSERT_TRUE(sock->connectToAddress(loopbackAddress4(listener.port()), "loopback", 5, &error))
      << error.description();
  peers.push_back(listener.accept());
  EXPECT_EQ(delegate->waitFor("connect").host, "127.0.0.1");
  EXPECT_EQ(sock->localHost(), "127.0.0.1");
}

TEST_F(DispatchSocketTest, LookupFailureClosesWithTheResolverError) {
  ASSERT_TRUE(sock->connectToHost("no-such-host.invalid", 80, 10));
  Event e = delegate->waitFor("disconnect");
  EXPECT_EQ(e.error.domain(), kNetDBErrorDomain);
}

TEST_F(DispatchSocketTest, WrapsAConnectedDescriptor) {
  RawListener listener;
  const int fd = testing::rawConnect(listener.port());
  ASSERT_GE(fd, 0);
  peers.push_back(listener.accept());
  platform::Error error;
  auto wrapped =
      DispatchSocket::socketFromConnectedSocketFD(fd, delegate, delegateQueue, nullptr, &error);
  ASSERT_TRUE(wrapped) << error.description();
  EXPECT_EQ(delegate->waitFor("connect").port, listener.port());
  EXPECT_TRUE(wrapped->isConnected());

  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  EXPECT_FALSE(DispatchSocket::socketFromConnectedSocketFD(pair[0], delegate, delegateQueue,
                                                           nullptr, &error));
  EXPECT_EQ(error.code(), kDispatchSocketOtherError);
  EXPECT_EQ(error.localizedDescription(),
            "Attempt to create socket from socket FD failed. socket FD is neither IPv4 nor IPv6");
  ::close(pair[0]);
  ::close(pair[1]);
}

// --- reading ------------------------------------------------------------------------------------

TEST_F(DispatchSocketTest, AvailableDataReadsCompleteWithWhatArrived) {
  RawListener listener;
  const int peer = connectToRaw(listener);
  sock->readDataWithTimeout(-1, 7);
  testing::rawSend(peer, "ab");
  EXPECT_EQ(delegate->waitFor("read").data, "ab");
  sock->readDataWithTimeout(-1, 7);
  testing::rawSend(peer, "cd");
  Event second = delegate->waitFor("read", 1);
  EXPECT_EQ(second.data, "cd");
  EXPECT_EQ(second.tag, 7);
  EXPECT_TRUE(second.onDelegateQueue);
}

TEST_F(DispatchSocketTest, TerminatorReadsLeaveTheRestForTheNextRead) {
  RawListener listener;
  const int peer = connectToRaw(listener);
  testing::rawSend(peer, "x\ny\n");
  sock->readDataToData(DispatchSocket::LFData(), -1, 1);
  EXPECT_EQ(delegate->waitFor("read").data, "x\n");
  sock->readDataToData(DispatchSocket::LFData(), -1, 2);
  Event e = delegate->waitFor("read", 1);
  EXPECT_EQ(e.data, "y\n");
  EXPECT_EQ(e.tag, 2);
}

TEST_F(DispatchSocketTest, TerminatorSplitAcrossArrivals) {
  RawListener listener;
  const int peer = connectToRaw(listener);
  sock->readDataToData(DispatchSocket::CRLFData(), -1, 1);
  testing::rawSend(peer, "hello\r");
  sock->performBlock([] {});
  testing::rawSend(peer, "\nworld");
  EXPECT_EQ(delegate->waitFor("read").data, "hello\r\n");
  sock->readDataToLength(5, -1, 2);
  EXPECT_EQ(delegate->waitFor("read", 1).data, "world");
}

TEST_F(DispatchSocketTest, FixedLengthReadReportsPartialProgress) {
  RawListener listener;
  const int peer = connectToRaw(listener);
  sock->readDataToLength(10, -1, 3);
  testing::rawSend(peer, "123456");
  Event partial = delegate->waitFor("readPartial");
  EXPECT_EQ(partial.length, 6u);
  EXPECT_EQ(partial.tag, 3);
  testing::rawSend(peer, "7890");
  EXPECT_EQ(delegate->waitFor("read").data, "1234567890");
}

TEST_F(DispatchSocketTest, TerminatorNotFoundWithinMaxLengthCloses) {
  RawListener listener;
  const int peer = connectToRaw(listener);
  sock->readDataToData(DispatchSocket::LFData(), -1, 4, 1);
  testing::rawSend(peer, "abcdef");
  Event e = delegate->waitFor("disconnect");
  EXPECT_EQ(e.error.code(), kDispatchSocketReadMaxedOutError);
  EXPECT_EQ(e.error.localizedDescription(), "Read operation reached set maximum length");
  EXPECT_EQ(delegate->count("read"), 0u);
}

TEST_F(DispatchSocketTest, ReadIntoCallerBufferAtOffset) {
  RawListener listener;
  const int peer = connectToRaw(listener);
  auto buffer = std::make_shared<Bytes>(Bytes{'>', '>'});
  sock->readDataToLength(3, -1, buffer, 2, 1);
  testing::rawSend(peer, "abc");
  EXPECT_EQ(delegate->waitFor("read").data, "abc");
  EXPECT_EQ(std::string(buffer->begin(), buffer->end()), ">>abc");
  // Invalid requests are dropped without a callback.
  sock->readDataToLength(3, -1, buffer, 99, 2);
  sock->readDataToLength(0, -1, 3);
  sock->readDataToData(Bytes(), -1, 4);
  sock->readDataToData(DispatchSocket::CRLFData(), -1, 1, 5);
  testing::rawSend(peer, "z");
  sock->readDataWithTimeout(-1, 6);
  EXPECT_EQ(delegate->waitFor("read", 1).tag, 6);
}

TEST_F(DispatchSocketTest, ReadTimeoutWithoutAndWithExtension) {
  using std::chrono::milliseconds;
  useManualClock();
  RawListener listener;
  connectToRaw(listener);
  delegate->readExtensions = {0.2};
  sock->readDataWithTimeout(0.2, 9);
  sock->performBlock([] {});  // the read and its timer have started
  clock->advance(milliseconds(199));
  settle();
  EXPECT_EQ(delegate->count("readTimeout"), 0u);
  clock->advance(milliseconds(1));
  Event first = delegate->waitFor("readTimeout");
  EXPECT_EQ(first.tag, 9);
  EXPECT_EQ(first.length, 200u);  // the time-out so far, in ms
  settle();
  // The extension counts from the answer, not from the first deadline.
  clock->advance(milliseconds(199));
  settle();
  EXPECT_EQ(delegate->count("readTimeout"), 1u);
  EXPECT_EQ(delegate->count("disconnect"), 0u);
  clock->advance(milliseconds(1));
  Event second = delegate->waitFor("readTimeout", 1);
  EXPECT_EQ(second.length, 400u);  // extended once by 0.2 s
  Event closed = delegate->waitFor("disconnect");
  EXPECT_EQ(closed.error.code(), kDispatchSocketReadTimeoutError);
  EXPECT_EQ(closed.error.localizedDescription(), "Read operation timed out");
}

TEST_F(DispatchSocketTest, ReadTimeoutWithoutDelegateAnswerCloses) {
  struct Quiet : DispatchSocketDelegate {};
  auto quiet = std::make_shared<Quiet>();
  RawListener listener;
  sock->synchronouslySetDelegate(delegate);
  connectToRaw(listener);
  sock->readDataWithTimeout(0, 1);  // fires at once
  EXPECT_EQ(delegate->waitFor("disconnect").error.code(), kDispatchSocketReadTimeoutError);
}

// Records every time-out question with all its arguments. Reads are answered
// from readExtensions, writes from writeExtensions (0 once used up).
struct TimeoutProbe : RecordingDelegate {
  struct Question {
    long tag = 0;
    double elapsed = 0;
    std::size_t done = 0;
    bool sameSocket = false;
    bool onDelegateQueue = false;
  };
  TimeoutProbe(QueuePtr delegateQueue, const DispatchSocket* socket)
      : RecordingDelegate(delegateQueue), queue(std::move(delegateQueue)), expected(socket) {}
  double socketShouldTimeoutReadWithTag(const DispatchSocketPtr& s, long tag, double elapsed,
                                        std::size_t done) override {
    // Recorded before the event the test waits for is added.
    reads.push_back({tag, elapsed, done, s.get() == expected, queue->isCurrent()});
    return RecordingDelegate::socketShouldTimeoutReadWithTag(s, tag, elapsed, done);
  }
  double socketShouldTimeoutWriteWithTag(const DispatchSocketPtr& s, long tag, double elapsed,
                                         std::size_t done) override {
    writes.push_back({tag, elapsed, done, s.get() == expected, queue->isCurrent()});
    RecordingDelegate::socketShouldTimeoutWriteWithTag(s, tag, elapsed, done);
    return writes.size() <= writeExtensions.size() ? writeExtensions[writes.size() - 1] : 0;
  }
  QueuePtr queue;
  const DispatchSocket* expected;  // compared only
  std::vector<double> writeExtensions;
  std::vector<Question> reads, writes;
};

TEST_F(DispatchSocketTest, ReadTimeoutQuestionCarriesTheBytesReadSoFar) {
  useManualClock();
  RawListener listener;
  const int peer = connectToRaw(listener);
  auto probe = std::make_shared<TimeoutProbe>(delegateQueue, sock.get());
  sock->synchronouslySetDelegate(probe);
  testing::rawSend(peer, "abc");
  sock->readDataToLength(10, 0.5, 8);
  ASSERT_EQ(probe->waitFor("readPartial").length, 3u);
  clock->advanceSeconds(0.5);
  ASSERT_EQ(probe->waitFor("readTimeout").kind, "readTimeout");
  ASSERT_EQ(probe->reads.size(), 1u);
  EXPECT_EQ(probe->reads[0].tag, 8);
  EXPECT_DOUBLE_EQ(probe->reads[0].elapsed, 0.5);
  EXPECT_EQ(probe->reads[0].done, 3u);
  EXPECT_TRUE(probe->reads[0].sameSocket);
  EXPECT_TRUE(probe->reads[0].onDelegateQueue);
  EXPECT_EQ(probe->waitFor("disconnect").error.code(), kDispatchSocketReadTimeoutError);
}

TEST_F(DispatchSocketTest, WriteTimeoutIsExtendedOnceThenCloses) {
  using std::chrono::milliseconds;
  useManualClock();
  RawListener listener;
  connectToRaw(listener);  // the peer never reads
  auto probe = std::make_shared<TimeoutProbe>(delegateQueue, sock.get());
  probe->writeExtensions = {0.2};
  sock->synchronouslySetDelegate(probe);
  const std::size_t size = 16 * 1024 * 1024;
  sock->writeData(Bytes(size, 'x'), 0.2, 4);
  // The write has filled the kernel's buffers and waits for room.
  ASSERT_EQ(probe->waitFor("writePartial").tag, 4);
  clock->advance(milliseconds(200));
  ASSERT_EQ(probe->waitFor("writeTimeout").kind, "writeTimeout");
  settle();
  clock->advance(milliseconds(199));
  settle();
  EXPECT_EQ(probe->count("writeTimeout"), 1u);
  EXPECT_EQ(probe->count("disconnect"), 0u);
  clock->advance(milliseconds(1));
  ASSERT_EQ(probe->waitFor("writeTimeout", 1).kind, "writeTimeout");
  Event closed = probe->waitFor("disconnect");
  EXPECT_EQ(closed.error.code(), kDispatchSocketWriteTimeoutError);
  EXPECT_EQ(closed.error.localizedDescription(), "Write operation timed out");
  delegateQueue->sync([] {});
  ASSERT_EQ(probe->writes.size(), 2u);
  for (const auto& q : probe->writes) {
    EXPECT_EQ(q.tag, 4);
    EXPECT_GT(q.done, 0u);
    EXPECT_LT(q.done, size);
    EXPECT_TRUE(q.sameSocket);
    EXPECT_TRUE(q.onDelegateQueue);
  }
  EXPECT_DOUBLE_EQ(probe->writes[0].elapsed, 0.2);
  EXPECT_DOUBLE_EQ(probe->writes[1].elapsed, 0.4);  // extended once by 0.2 s
  EXPECT_GE(probe->writes[1].done, probe->writes[0].done);
  EXPECT_EQ(probe->count("write"), 0u);
}

TEST_F(DispatchSocketTest, ProgressOfTheCurrentReadAndWrite) {
  long tag = -1;
  std::size_t done = 99, total = 99;
  EXPECT_TRUE(std::isnan(sock->progressOfReadReturningTag(&tag, &done, &total)));
  EXPECT_EQ(tag, 0);
  EXPECT_EQ(done, 0u);
  EXPECT_EQ(total, 0u);
  tag = -1;
  done = total = 99;
  EXPECT_TRUE(std::isnan(sock->progressOfWriteReturningTag(&tag, &done, &total)));
  EXPECT_EQ(tag, 0);
  EXPECT_EQ(done, 0u);
  EXPECT_EQ(total, 0u);

  RawListener listener;
  const int peer = connectToRaw(listener);
  sock->readDataToLength(10, -1, 3);
  testing::rawSend(peer, "123456");
  delegate->waitFor("readPartial");
  EXPECT_DOUBLE_EQ(sock->progressOfReadReturningTag(&tag, &done, &total), 0.6);
  EXPECT_EQ(tag, 3);
  EXPECT_EQ(done, 6u);
  EXPECT_EQ(total, 10u);
  testing::rawSend(peer, "7890");
  delegate->waitFor("read");
  // A read without a length counts as whole.
  sock->readDataWithTimeout(-1, 5);
  sock->performBlock([] {});
  EXPECT_DOUBLE_EQ(sock->progressOfReadReturningTag(&tag, &done, &total), 1.0);
  EXPECT_EQ(tag, 5);
  EXPECT_EQ(done, 0u);
  EXPECT_EQ(total, 0u);

  const std::size_t size = 16 * 1024 * 1024;
  sock->writeData(Bytes(size, 'w'), -1, 7);
  delegate->waitFor("writePartial");  // the peer does not read: the write waits
  const double fraction = sock->progressOfWriteReturningTag(&tag, &done, &total);
  EXPECT_EQ(tag, 7);
  EXPECT_EQ(total, size);
  EXPECT_GT(done, 0u);
  EXPECT_LT(done, size);
  EXPECT_DOUBLE_EQ(fraction, static_cast<double>(done) / static_cast<double>(size));
  // The read's progress is its own.
  EXPECT_DOUBLE_EQ(sock->progressOfReadReturningTag(&tag, &done, &total), 1.0);
  EXPECT_EQ(tag, 5);
}

TEST_F(DispatchSocketTest, PeerCloseWithNoReadClosesOnTheNextRead) {
  RawListener listener;
  const int peer = connectToRaw(listener);
  testing::rawSend(peer, "last");
  ::shutdown(peer, SHUT_WR);
  sock->performBlock([] {});
  sock->readDataToLength(4, -1, 1);
  EXPECT_EQ(delegate->waitFor("read").data, "last");
  Event e = delegate->waitFor("disconnect");
  EXPECT_EQ(e.error.code(), kDispatchSocketClosedError);
  EXPECT_EQ(e.error.localizedDescription(), "Socket closed by remote peer");
  // Order: the data first, then the disconnect.
  auto kinds = delegate->kinds();
  EXPECT_EQ(std::find(kinds.begin(), kinds.end(), "read") - kinds.begin() <
                std::find(kinds.begin(), kinds.end(), "disconnect") - kinds.begin(),
            true);
}

TEST_F(DispatchSocketTest, HalfDuplexKeepsTheSocketOpen) {
  RawListener listener;
  sock->setAutoDisconnectOnClosedReadStream(false);
  const int peer = connectToRaw(listener);
  sock->readDataWithTimeout(-1, 1);
  ::shutdown(peer, SHUT_WR);
  delegate->waitFor("readClosed");
  EXPECT_EQ(delegate->count("disconnect"), 0u);
  sock->writeData(Bytes{'o', 'k'}, 5, 2);
  EXPECT_EQ(delegate->waitFor("write").tag, 2);
  EXPECT_EQ(testing::rawReceive(peer, 2), "ok");
  EXPECT_TRUE(sock->isConnected());
  EXPECT_EQ(delegate->count("readClosed"), 1u);
}

TEST_F(DispatchSocketTest, RequestsBeforeStartAreDroppedAndDuringConnectWait) {
  RawListener listener;
  sock->readDataWithTimeout(-1, 100);  // not started: dropped
  sock->writeData(Bytes{'x'}, -1, 100);
  ASSERT_TRUE(sock->connectToHost("127.0.0.1", listener.port(), 5));
  sock->writeData(Bytes{'h', 'i'}, -1, 1);  // waits for the connection
  sock->readDataToLength(2, -1, 2);
  const int peer = listener.accept();
  peers.push_back(peer);
  EXPECT_EQ(testing::rawReceive(peer, 2), "hi");
  testing::rawSend(peer, "yo");
  EXPECT_EQ(delegate->waitFor("read").tag, 2);
  EXPECT_EQ(delegate->waitFor("write").tag, 1);
  EXPECT_EQ(delegate->count("write"), 1u);
}

// --- writing ------------------------------------------------------------------------------------

TEST_F(DispatchSocketTest, WritesCompleteInOrder) {
  RawListener listener;
  const int peer = connectToRaw(listener);
  sock->writeData(Bytes(), -1, 0);  // ignored
  {
    Bytes scoped = {'b'};
    sock->writeData(Bytes{'a'}, -1, 1);
    sock->writeData(std::make_shared<const Bytes>(scoped), -1, 2);
  }  // the caller's data is gone; the socket holds its own reference
  sock->writeData(Bytes{'c'}, -1, 3);
  EXPECT_EQ(testing::rawReceive(peer, 3), "abc");
  delegate->waitFor("write", 2);
  std::vector<long> tags;
  for (const Event& e : delegate->events()) {
    if (e.kind == "write") tags.push_back(e.tag);
  }
  EXPECT_EQ(tags, (std::vector<long>{1, 2, 3}));
}

TEST_F(DispatchSocketTest, LargeWriteIsSentInPartsAndArrivesWhole) {
  RawListener listener;
  const int peer = connectToRaw(listener);
  Bytes big(8 * 1024 * 1024);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 31 + 7);
  const std::string expected(big.begin(), big.end());
  sock->writeData(std::move(big), 30, 1);
  // The peer does not read until the socket had to wait for room.
  EXPECT_EQ(delegate->waitFor("writePartial").tag, 1);
  EXPECT_TRUE(testing::rawReceive(peer, expected.size()) == expected);
  EXPECT_EQ(delegate->waitFor("write").tag, 1);
  EXPECT_EQ(delegate->count("disconnect"), 0u);
}

TEST_F(DispatchSocketTest, WriteTimeoutClosesWhenPeerStopsReading) {
  useManualClock();
  RawListener listener;
  connectToRaw(listener);
  sock->writeData(Bytes(16 * 1024 * 1024, 'x'), 0.3, 4);
  sock->performBlock([] {});  // the write and its timer have started
  clock->advanceSeconds(0.3);
  Event timeout = delegate->waitFor("writeTimeout");
  EXPECT_EQ(timeout.tag, 4);
  Event e = delegate->waitFor("disconnect");
  EXPECT_EQ(e.error.code(), kDispatchSocketWriteTimeoutError);
  EXPECT_EQ(e.error.localizedDescription(), "Write operation timed out");
}

TEST_F(DispatchSocketTest, WriteToAResetPeerIsAnErrorNotASignal) {
  RawListener listener;
  const int peer = connectToRaw(listener);
  linger hard{1, 0};
  ::setsockopt(peer, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  ::close(peer);
  peers.clear();
  for (int i = 0; i < 50 && delegate->count("disconnect") == 0; ++i) {
    sock->writeData(Bytes(65536, 'x'), 5, i);
    sock->performBlock([] {});
  }
  Event e = delegate->waitFor("disconnect");
  ASSERT_EQ(e.kind, "disconnect");
  EXPECT_TRUE(e.error.domain() == platform::kPOSIXErrorDomain ||
              e.error.code() == kDispatchSocketClosedError);
}

// --- closing ------------------------------------------------------------------------------------

TEST_F(DispatchSocketTest, DisconnectBeforeStartSendsNothing) {
  sock->disconnect();
  sock->performBlock([] {});
  delegateQueue->sync([] {});
  EXPECT_EQ(delegate->count("disconnect"), 0u);
}

TEST_F(DispatchSocketTest, DisconnectFromTheDelegateQueue) {
  RawListener listener;
  const int peer = connectToRaw(listener);
  delegateQueue->sync([&] {
    sock->disconnect();
    EXPECT_TRUE(sock->isDisconnected());
  });
  Event e = delegate->waitFor("disconnect");
  EXPECT_FALSE(e.error);
  EXPECT_TRUE(testing::rawSeesEOF(peer));
  sock->disconnect();
  delegateQueue->sync([] {});
  EXPECT_EQ(delegate->count("disconnect"), 1u);
}

TEST_F(DispatchSocketTest, DisconnectAfterWritingLetsQueuedWritesFinish) {
  RawListener listener;
  const int peer = connectToRaw(listener);
  sock->writeData(Bytes{'1'}, -1, 1);
  sock->writeData(Bytes{'2'}, -1, 2);
  sock->disconnectAfterWriting();
  sock->readDataWithTimeout(-1, 3);  // dropped
  EXPECT_EQ(testing::rawReceive(peer, 2), "12");
  Event e = delegate->waitFor("disconnect");
  EXPECT_FALSE(e.error);
  EXPECT_EQ(delegate->count("write"), 2u);
  EXPECT_EQ(delegate->count("read"), 0u);
}

TEST_F(DispatchSocketTest, DisconnectAfterReadingWaitsForTheRead) {
  RawListener listener;
  const int peer = connectToRaw(listener);
  sock->readDataToLength(3, -1, 1);
  sock->disconnectAfterReading();
  sock->performBlock([] {});
  EXPECT_TRUE(sock->isConnected());
  testing::rawSend(peer, "end");
  EXPECT_EQ(delegate->waitFor("read").data, "end");
  EXPECT_FALSE(delegate->waitFor("disconnect").error);
}

TEST_F(DispatchSocketTest, DisconnectAfterWritingDoesNotWaitForReads) {
  RawListener listener;
  const int peer = connectToRaw(listener);
  sock->readDataToLength(3, -1, 1);  // never satisfied
  sock->writeData(Bytes{'w'}, -1, 2);
  sock->disconnectAfterWriting();
  EXPECT_EQ(testing::rawReceive(peer, 1), "w");
  EXPECT_FALSE(delegate->waitFor("disconnect").error);
  EXPECT_EQ(delegate->count("write"), 1u);
  EXPECT_EQ(delegate->count("read"), 0u);
}

TEST_F(DispatchSocketTest, DisconnectAfterReadingAndWritingWaitsForBoth) {
  RawListener listener;
  const int peer = connectToRaw(listener);
  sock->readDataToLength(3, -1, 1);
  sock->writeData(Bytes{'w'}, -1, 2);
  sock->disconnectAfterReadingAndWriting();
  EXPECT_EQ(testing::rawReceive(peer, 1), "w");
  EXPECT_EQ(delegate->waitFor("write").tag, 2);
  sock->performBlock([] {});
  EXPECT_TRUE(sock->isConnected());  // the read is still due
  testing::rawSend(peer, "end");
  EXPECT_EQ(delegate->waitFor("read").data, "end");
  EXPECT_FALSE(delegate->waitFor("disconnect").error);
}

TEST_F(DispatchSocketTest, FreeingAStartedSocketReportsWithANullSocket) {
  RawListener listener;
  const int peer = connectToRaw(listener);
  sock.reset();
  Event e = delegate->waitFor("disconnect");
  ASSERT_EQ(e.kind, "disconnect");
  EXPECT_TRUE(e.nullSocket);
  EXPECT_FALSE(e.error);
  EXPECT_TRUE(testing::rawSeesEOF(peer));
}

TEST_F(DispatchSocketTest, SocketCanConnectAgainAfterClose) {
  RawListener listener;
  connectToRaw(listener);
  sock->disconnect();
  delegate->waitFor("disconnect");
  EXPECT_FALSE(sock->isIPv4Enabled() == false);
  ASSERT_TRUE(sock->connectToHost("127.0.0.1", listener.port(), 5));
  peers.push_back(listener.accept());
  EXPECT_EQ(delegate->waitFor("connect", 1).kind, "connect");
}

// --- accepting ----------------------------------------------------------------------------------

class DispatchSocketAcceptTest : public DispatchSocketTest {
 protected:
  void SetUp() override {
    DispatchSocketTest::SetUp();
    // Accepted sockets echo lines back.
    delegate->onAccept = [](const DispatchSocketPtr& child) {
      child->readDataToData(DispatchSocket::LFData(), -1, 0);
    };
    delegate->onRead = [](const DispatchSocketPtr& s, const SocketData& data, long) {
      s->writeData(data.bytes(), 5, 0);
      s->readDataToData(DispatchSocket::LFData(), -1, 0);
    };
  }
  std::vector<DispatchSocketPtr> accepted() {
    std::vector<DispatchSocketPtr> out;
    for (const Event& e : delegate->events()) {
      if (e.kind == "accept") out.push_back(e.newSocket);
    }
    return out;
  }
};

TEST_F(DispatchSocketAcceptTest, ListensOnOnePortForBothFamilies) {
  platform::Error error;
  if (!testing::hasIPv6Loopback()) sock->setIPv6Enabled(false);
  ASSERT_TRUE(sock->acceptOnPort(0, &error)) << error.description();
  std::uint16_t port4 = 0, port6 = 0;
  sock->performBlock([&] {
    port4 = sock->localPort4();
    port6 = sock->localPort6();
  });
  ASSERT_NE(port4, 0);
  if (port6 != 0) {
    EXPECT_EQ(port6, port4);
  }

  const int c4 = testing::rawConnect(port4);
  ASSERT_GE(c4, 0);
  peers.push_back(c4);
  testing::rawSend(c4, "four\n");
  EXPECT_EQ(testing::rawReceive(c4, 5), "four\n");
  Event e = delegate->waitFor("accept");
  EXPECT_TRUE(e.newSocket->isConnected());
  EXPECT_EQ(e.newSocket->connectedHost(), "127.0.0.1");
  EXPECT_EQ(e.newSocket->connectedPort(), portFromAddress(localAddressOfSocket(c4)));

  if (testing::hasIPv6Loopback() && port6 != 0) {
    const int c6 = testing::rawConnect(port6, AF_INET6);
    ASSERT_GE(c6, 0);
    peers.push_back(c6);
    testing::rawSend(c6, "six\n");
    EXPECT_EQ(testing::rawReceive(c6, 4), "six\n");
    EXPECT_EQ(delegate->waitFor("accept", 1).newSocket->connectedHost(), "::1");
  }

  EXPECT_FALSE(sock->acceptOnPort(0, &error));
  EXPECT_EQ(error.localizedDescription(),
            "Attempting to accept while connected or accepting connections. Disconnect first.");
}

TEST_F(DispatchSocketAcceptTest, AcceptsEveryQueuedConnection) {
  ASSERT_TRUE(sock->acceptOnInterface("127.0.0.1", 0));
  std::uint16_t port = 0;
  sock->performBlock([&] { port = sock->localPort4(); });
  for (int i = 0; i < 5; ++i) peers.push_back(testing::rawConnect(port));
  for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(delegate->waitFor("accept", i).kind, "accept");
  for (int fd : peers) {
    testing::rawSend(fd, "x\n");
    EXPECT_EQ(testing::rawReceive(fd, 2), "x\n");
  }
}

TEST_F(DispatchSocketAcceptTest, AcceptChecks) {
  platform::Error error;
  auto noDelegate = DispatchSocket::create();
  EXPECT_FALSE(noDelegate->acceptOnPort(0, &error));
  EXPECT_EQ(error.localizedDescription(),
            "Attempting to accept without a delegate. Set a delegate first.");
  EXPECT_FALSE(sock->acceptOnInterface("no-such-if0", 0, &error));
  EXPECT_EQ(error.code(), kDispatchSocketBadParamError);
  sock->setIPv6Enabled(false);
  EXPECT_TRUE(sock->acceptOnInterface("localhost", 0, &error));
  EXPECT_FALSE(sock->isIPv6());
}

TEST_F(DispatchSocketAcceptTest, RefusalTextsAndTheirOrder) {
  platform::Error error;
  const auto url = platform::URL::fileURLWithPath("/tmp/varnel-never-created.sock");
  auto noQueue = DispatchSocket::create(delegate);
  const char* noQueueText =
      "Attempting to accept without a delegate queue. Set a delegate queue first.";
  EXPECT_FALSE(noQueue->acceptOnPort(0, &error));
  EXPECT_EQ(error.code(), kDispatchSocketBadConfigError);
  EXPECT_EQ(error.localizedDescription(), noQueueText);
  EXPECT_FALSE(noQueue->acceptOnUrl(url, &error));
  EXPECT_EQ(error.localizedDescription(), noQueueText);

  sock->setIPv4Enabled(false);
  EXPECT_FALSE(sock->acceptOnInterface("127.0.0.1", 0, &error));
  EXPECT_EQ(error.code(), kDispatchSocketBadParamError);
  EXPECT_EQ(error.localizedDescription(),
            "IPv4 has been disabled and specified interface doesn't support IPv6.");
  EXPECT_FALSE(sock->acceptOnInterface("no-such-if0", 0, &error));
  EXPECT_EQ(error.localizedDescription(),
            "Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address.");
  sock->setIPv4Enabled(true);

  ASSERT_TRUE(sock->acceptOnInterface("127.0.0.1", 0, &error));
  const char* startedText =
      "Attempting to accept while connected or accepting connections. Disconnect first.";
  EXPECT_FALSE(sock->acceptOnUrl(url, &error));
  EXPECT_EQ(error.localizedDescription(), startedText);
  EXPECT_FALSE(sock->connectToUrl(url, 5, &error));
  EXPECT_EQ(error.localizedDescription(),
            "Attempting to connect while connected or accepting connections. Disconnect first.");

  // With both families disabled as well, accepting names the families
  // first and connecting names the started state first.
  sock->setIPv4Enabled(false);
  sock->setIPv6Enabled(false);
  EXPECT_FALSE(sock->acceptOnPort(0, &error));
  EXPECT_EQ(error.localizedDescription(),
            "Both IPv4 and IPv6 have been disabled. Must enable at least one protocol first.");
  EXPECT_FALSE(sock->connectToHost("127.0.0.1", 1, &error));
  EXPECT_EQ(error.localizedDescription(),
            "Attempting to connect while connected or accepting connections. Disconnect first.");
}

TEST_F(DispatchSocketTest, ConnectToUrlRefusesAnUnusablePath) {
  platform::Error error;
  const auto longUrl = platform::URL::fileURLWithPath("/tmp/" + std::string(150, 'p'));
  EXPECT_FALSE(sock->connectToUrl(longUrl, 5, &error));
  EXPECT_EQ(error.code(), kDispatchSocketBadParamError);
  EXPECT_EQ(error.localizedDescription(),
            "Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address.");
  auto noQueue = DispatchSocket::create(delegate);
  EXPECT_FALSE(noQueue->connectToUrl(longUrl, 5, &error));
  EXPECT_EQ(error.localizedDescription(),
            "Attempting to connect without a delegate queue. Set a delegate queue first.");
}

TEST_F(DispatchSocketAcceptTest, ConnectionWithoutDelegateQueueIsClosed) {
  ASSERT_TRUE(sock->acceptOnInterface("127.0.0.1", 0));
  std::uint16_t port = 0;
  sock->performBlock([&] { port = sock->localPort4(); });
  sock->synchronouslySetDelegateQueue(nullptr);
  const int fd = testing::rawConnect(port);
  peers.push_back(fd);
  EXPECT_TRUE(testing::rawSeesEOF(fd));
}

TEST_F(DispatchSocketAcceptTest, UnixDomainListenerAndClient) {
  varnel::testing::TempDir dir("sock");
  const std::string path = dir.file("s.sock");
  const auto url = platform::URL::fileURLWithPath(path);

  // A stale socket file is replaced.
  {
    const int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
    Bytes address = unixAddressFromPath(path);
    ASSERT_EQ(::bind(stale, reinterpret_cast<const sockaddr*>(address.data()), address.size()), 0);
    ::close(stale);
  }
  platform::Error error;
  ASSERT_TRUE(sock->acceptOnUrl(url, &error)) << error.description();

  auto clientDelegate = std::make_shared<RecordingDelegate>(delegateQueue);
  auto client = DispatchSocket::create(clientDelegate, delegateQueue);
  ASSERT_TRUE(client->connectToUrl(url, 5, &error)) << error.description();
  EXPECT_EQ(clientDelegate->waitFor("connectUrl").host, path);
  client->writeData(Bytes{'u', 'n', '\n'}, 5, 1);
  client->readDataToData(DispatchSocket::LFData(), 5, 2);
  EXPECT_EQ(clientDelegate->waitFor("read").data, "un\n");

  // A second listener must not take over a live socket.
  auto other = DispatchSocket::create(delegate, delegateQueue);
  EXPECT_FALSE(other->acceptOnUrl(url, &error));
  EXPECT_EQ(error.code(), kDispatchSocketOtherError);

  client->disconnect();
  sock->disconnect();
  struct stat st;
  EXPECT_NE(::lstat(path.c_str(), &st), 0);  // the socket file went away

  // Another kind of file at the path is never removed.
  { std::ofstream(path) << "keep"; }
  EXPECT_FALSE(sock->acceptOnUrl(url, &error));
  EXPECT_EQ(error.localizedDescription(),
            "Could not remove previous unix domain socket at given url.");
  EXPECT_EQ(::lstat(path.c_str(), &st), 0);
  ::unlink(path.c_str());

  // An over-long path is refused, not cut short.
  const auto longUrl = platform::URL::fileURLWithPath(dir.file(std::string(150, 'p')));
  EXPECT_FALSE(sock->acceptOnUrl(longUrl, &error));
  EXPECT_EQ(error.code(), kDispatchSocketBadParamError);
}

TEST_F(DispatchSocketAcceptTest, ConnectedSocketsTalkBothWays) {
  ASSERT_TRUE(sock->acceptOnInterface("localhost", 0));
  std::uint16_t port = 0;
  sock->performBlock([&] { port = sock->localPort4(); });
  auto clientDelegate = std::make_shared<RecordingDelegate>(delegateQueue);
  auto client = DispatchSocket::create(clientDelegate, delegateQueue);
  ASSERT_TRUE(client->connectToHost("127.0.0.1", port, 5));
  for (int i = 0; i < 20; ++i) {
    client->writeData(Bytes{'l', static_cast<std::uint8_t>('a' + i), '\n'}, 5, i);
    client->readDataToData(DispatchSocket::LFData(), 5, i);
  }
  for (int i = 0; i < 20; ++i) {
    Event e = clientDelegate->waitFor("read", static_cast<std::size_t>(i));
    EXPECT_EQ(e.tag, i);
    EXPECT_EQ(e.data, std::string("l") + static_cast<char>('a' + i) + "\n");
  }
  client->disconnectAfterReadingAndWriting();
  EXPECT_FALSE(clientDelegate->waitFor("disconnect").error);
  // The server side sees the peer's close.
  EXPECT_EQ(delegate->waitFor("disconnect").error.code(), kDispatchSocketClosedError);
}

}  // namespace
}  // namespace net::sockets
