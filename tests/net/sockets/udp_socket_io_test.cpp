// DispatchUdpSocket: sending and receiving on loopback, filters, time-outs
// and closing after the sends.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "net/sockets/socket_address.h"
#include "net/sockets/udp_socket.h"
#include "net/sockets/udp_test_delegate.h"
#include "support/manual_clock.h"

namespace net::sockets {
namespace {

using platform::dispatch::Queue;
using testing::bytesOf;
using testing::RecordingUdpDelegate;
using testing::textOf;
using testing::UdpEvent;
using testing::UdpPeer;

// A receiver bound to the loopback address of `family`.
struct Receiver : UdpPeer {
  explicit Receiver(int family = AF_INET) {
    platform::Error error;
    const Bytes any = family == AF_INET ? loopbackAddress4(0) : loopbackAddress6(0);
    EXPECT_TRUE(socket->bindToAddress(any, &error)) << error.description();
    port = socket->localPort();
  }
  std::uint16_t port = 0;
};

// Sends `text` to 127.0.0.1:`port` from a plain socket; answers its port.
std::uint16_t sendRaw(std::uint16_t port, const std::string& text, int fd = -1) {
  const bool own = fd < 0;
  if (own) fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  const Bytes to = loopbackAddress4(port);
  ::sendto(fd, text.data(), text.size(), 0, reinterpret_cast<const sockaddr*>(to.data()),
           static_cast<socklen_t>(to.size()));
  sockaddr_in local{};
  socklen_t len = sizeof local;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len);
  if (own) ::close(fd);
  return ntohs(local.sin_port);
}

TEST(UdpSocketSend, ConnectThenSendToThePeer) {
  Receiver receiver;
  ASSERT_TRUE(receiver.socket->receiveOnce());
  UdpPeer sender;
  ASSERT_TRUE(sender.socket->connectToHost("127.0.0.1", receiver.port));
  sender.socket->sendData(bytesOf("hello"), 5.0, 7);
  ASSERT_TRUE(sender.delegate->waitFor(UdpEvent::Sent));
  EXPECT_EQ(sender.delegate->eventsOf(UdpEvent::Sent)[0].tag, 7);
  ASSERT_TRUE(receiver.delegate->waitFor(UdpEvent::Received));
  const auto got = receiver.delegate->eventsOf(UdpEvent::Received)[0];
  EXPECT_EQ(textOf(got.data), "hello");
  EXPECT_EQ(got.address.size(), 16u);
  EXPECT_EQ(DispatchUdpSocket::portFromAddress(got.address), sender.socket->localPort());
  // The connect was settled before the datagram queued after it.
  const auto events = sender.delegate->events();
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events[0].kind, UdpEvent::Connected);
  EXPECT_EQ(events[1].kind, UdpEvent::Sent);
}

TEST(UdpSocketSend, DestinationRulesOfConnectedAndUnconnectedSockets) {
  UdpPeer unconnected;
  unconnected.socket->sendData(bytesOf("x"), -1, 1);
  ASSERT_TRUE(unconnected.delegate->waitFor(UdpEvent::NotSent));
  auto failed = unconnected.delegate->eventsOf(UdpEvent::NotSent)[0];
  EXPECT_EQ(failed.tag, 1);
  EXPECT_EQ(failed.error.code(), 1);
  EXPECT_EQ(failed.error.localizedDescription(),
            "You must specify destination of packet for a non-connected socket");

  Receiver receiver;
  UdpPeer connected;
  ASSERT_TRUE(connected.socket->connectToAddress(loopbackAddress4(receiver.port)));
  connected.socket->sendData(bytesOf("x"), "127.0.0.1", receiver.port, -1, 2);
  connected.socket->sendData(bytesOf("x"), loopbackAddress4(receiver.port), -1, 3);
  connected.socket->sendData(std::make_shared<const Bytes>(), 4);  // empty: ignored
  connected.socket->sendData(nullptr, 5);                          // none: ignored
  connected.socket->sendData(bytesOf("x"), 6);
  ASSERT_TRUE(connected.delegate->waitFor(UdpEvent::NotSent, 2));
  ASSERT_TRUE(connected.delegate->waitFor(UdpEvent::Sent, 1));
  RecordingUdpDelegate::drain(connected.delegateQueue);
  const auto notSent = connected.delegate->eventsOf(UdpEvent::NotSent);
  ASSERT_EQ(notSent.size(), 2u);
  EXPECT_EQ(notSent[0].tag, 2);
  EXPECT_EQ(notSent[1].tag, 3);
  EXPECT_EQ(notSent[0].error.localizedDescription(),
            "Cannot specify destination of packet for connected socket");
  const auto sent = connected.delegate->eventsOf(UdpEvent::Sent);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].tag, 6);
}

TEST(UdpSocketSend, ToHostAndPortWithLookupAndFirstSendBinds) {
  Receiver receiver;
  ASSERT_TRUE(receiver.socket->beginReceiving());
  UdpPeer sender;
  EXPECT_TRUE(sender.socket->isClosed());
  sender.socket->sendData(bytesOf("by name"), "localhost", receiver.port, 5.0, 1);
  sender.socket->sendData(bytesOf("by address"), loopbackAddress4(receiver.port), 5.0, 2);
  ASSERT_TRUE(sender.delegate->waitFor(UdpEvent::Sent, 2));
  ASSERT_TRUE(receiver.delegate->waitFor(UdpEvent::Received, 2));
  const auto got = receiver.delegate->eventsOf(UdpEvent::Received);
  EXPECT_EQ(textOf(got[0].data), "by name");
  EXPECT_EQ(textOf(got[1].data), "by address");
  EXPECT_FALSE(sender.socket->isClosed());
  EXPECT_NE(sender.socket->localPort(), 0);
}

TEST(UdpSocketSend, FailedLookupFailsEachQueuedDatagramInOrder) {
  UdpPeer sender;
  for (long tag = 1; tag <= 3; ++tag) sender.socket->sendData(bytesOf("x"), "", 9, -1, tag);
  ASSERT_TRUE(sender.delegate->waitFor(UdpEvent::NotSent, 3));
  const auto failed = sender.delegate->eventsOf(UdpEvent::NotSent);
  for (long i = 0; i < 3; ++i) {
    EXPECT_EQ(failed[i].tag, i + 1);
    EXPECT_EQ(failed[i].error.localizedDescription(),
              "The host param is nil. Should be domain name or IP address string.");
  }
  EXPECT_EQ(sender.delegate->count(UdpEvent::Closed), 0u);
}

TEST(UdpSocketSend, FamilyWithoutASocketFailsOnlyThatDatagram) {
  if (!testing::hasIPv6Loopback()) GTEST_SKIP() << "no IPv6 loopback";
  Receiver receiver;
  ASSERT_TRUE(receiver.socket->beginReceiving());
  UdpPeer sender;
  sender.socket->setIPv6Enabled(false);
  sender.socket->sendData(bytesOf("six"), loopbackAddress6(receiver.port), -1, 1);
  sender.socket->sendData(bytesOf("four"), loopbackAddress4(receiver.port), -1, 2);
  sender.socket->sendData(bytesOf("bad"), Bytes{1, 2, 3}, -1, 3);
  ASSERT_TRUE(sender.delegate->waitFor(UdpEvent::NotSent, 2));
  ASSERT_TRUE(sender.delegate->waitFor(UdpEvent::Sent, 1));
  const auto failed = sender.delegate->eventsOf(UdpEvent::NotSent);
  EXPECT_EQ(failed[0].tag, 1);
  EXPECT_EQ(failed[0].error.code(), 5);
  EXPECT_EQ(failed[1].tag, 3);
  EXPECT_EQ(failed[1].error.code(), 2);
  EXPECT_EQ(sender.delegate->count(UdpEvent::Closed), 0u);
  EXPECT_FALSE(sender.socket->isClosed());
  ASSERT_TRUE(receiver.delegate->waitFor(UdpEvent::Received));
  EXPECT_EQ(textOf(receiver.delegate->eventsOf(UdpEvent::Received)[0].data), "four");
}

// The lowest free descriptor once it has held still for a while: sockets of
// earlier tests and attempts close their descriptors on their own queues, a
// little after they go away.
int settledLowestFreeDescriptor() {
  int last = -1;
  for (int stable = 0, i = 0; i < 150 && stable < 5; ++i) {
    const int fd = ::dup(0);
    ::close(fd);
    stable = fd == last ? stable + 1 : 0;
    last = fd;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return last;
}

TEST(UdpSocketSend, SocketCreationFailureIsReportedPerDatagram) {
  // Lower the descriptor limit to what is in use, so socket() must fail.
  // Another thread may still close a descriptor between the measurement and
  // the send, letting socket() succeed: then the datagram is sent and the
  // attempt is made again.
  for (int attempt = 0; attempt < 10; ++attempt) {
    UdpPeer sender;
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    const int lowest = settledLowestFreeDescriptor();
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(lowest);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    sender.socket->sendData(bytesOf("a"), loopbackAddress4(9), -1, 1);
    sender.socket->sendData(bytesOf("b"), loopbackAddress4(9), -1, 2);
    const bool reported = sender.delegate->waitFor(UdpEvent::NotSent, 2, std::chrono::seconds(2));
    ::setrlimit(RLIMIT_NOFILE, &saved);
    if (!reported && sender.delegate->count(UdpEvent::Sent) > 0) continue;
    ASSERT_TRUE(reported);
    const auto failed = sender.delegate->eventsOf(UdpEvent::NotSent);
    EXPECT_EQ(failed[0].error.code(), EMFILE);
    EXPECT_EQ(failed[0].error.localizedFailureReason(), "Error in socket() function");
    EXPECT_TRUE(sender.socket->isClosed());
    // With descriptors back, the next datagram starts the socket afresh.
    sender.socket->sendData(bytesOf("c"), loopbackAddress4(9), -1, 3);
    ASSERT_TRUE(sender.delegate->waitFor(UdpEvent::Sent));
    return;
  }
  FAIL() << "socket() never failed under the lowered descriptor limit";
}

TEST(UdpSocketSend, TimeOutWhenTheSystemCannotTakeTheDatagram) {
  // Loopback datagrams never wait, so put a datagram socket whose peer is
  // full under the socket's descriptor: every send then would block.
  auto clock = varnel::testing::ManualClock::create();
  UdpPeer sender(nullptr, clock);
  sender.socket->setIPv6Enabled(false);
  ASSERT_TRUE(sender.socket->connectToAddress(loopbackAddress4(9)));
  ASSERT_TRUE(sender.delegate->waitFor(UdpEvent::Connected));
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_DGRAM, 0, pair), 0);
  ::fcntl(pair[0], F_SETFL, O_NONBLOCK);
  const char byte = 'x';
  while (::send(pair[0], &byte, 1, 0) == 1) {
  }
  sender.socket->performBlock([&] { ::dup2(pair[0], sender.socket->socket4FD()); });
  sender.socket->sendData(bytesOf("late"), 0.0, 1);  // times out at once
  sender.socket->sendData(bytesOf("later"), 0.05, 2);
  ASSERT_TRUE(sender.delegate->waitFor(UdpEvent::NotSent, 1));
  sender.socket->performBlock([] {});  // the second datagram and its timer have started
  clock->advance(std::chrono::milliseconds(49));
  sender.socket->performBlock([] {});
  sender.delegateQueue->sync([] {});
  EXPECT_EQ(sender.delegate->count(UdpEvent::NotSent), 1u);
  clock->advance(std::chrono::milliseconds(1));
  ASSERT_TRUE(sender.delegate->waitFor(UdpEvent::NotSent, 2));
  const auto failed = sender.delegate->eventsOf(UdpEvent::NotSent);
  EXPECT_EQ(failed[0].tag, 1);
  EXPECT_EQ(failed[1].tag, 2);
  EXPECT_EQ(failed[0].error.domain(), kDispatchUdpSocketErrorDomain);
  EXPECT_EQ(failed[0].error.code(), 3);
  EXPECT_EQ(failed[0].error.localizedDescription(), "Send operation timed out");
  EXPECT_EQ(sender.delegate->count(UdpEvent::Sent), 0u);
  EXPECT_FALSE(sender.socket->isClosed());
  sender.socket->close();
  ::close(pair[0]);
  ::close(pair[1]);
}

TEST(UdpSocketSend, CloseAfterSendingDrainsTheQueueFirst) {
  Receiver receiver;
  UdpPeer sender;
  sender.socket->sendData(bytesOf("one"), loopbackAddress4(receiver.port), -1, 1);
  sender.socket->sendData(bytesOf("two"), loopbackAddress4(receiver.port), -1, 2);
  sender.socket->closeAfterSending();
  ASSERT_TRUE(sender.delegate->waitFor(UdpEvent::Closed));
  const auto events = sender.delegate->events();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].kind, UdpEvent::Sent);
  EXPECT_EQ(events[1].kind, UdpEvent::Sent);
  EXPECT_EQ(events[2].kind, UdpEvent::Closed);
  EXPECT_TRUE(events[2].error.isNone());
  EXPECT_TRUE(sender.socket->isClosed());
}

TEST(UdpSocketSend, CloseReportsEachQueuedDatagramAsNotSent) {
  Receiver receiver;
  UdpPeer sender;
  // The first datagram waits in an asynchronous filter that the test holds
  // back; the others wait in the queue behind it.
  platform::dispatch::Semaphore filterEntered;
  platform::dispatch::Semaphore release;
  auto filterQueue = Queue::createSerial("udp.test.filter");
  sender.socket->setSendFilter(
      [&](const DispatchUdpSocket::Data&, const Bytes&, long) {
        filterEntered.signal();
        release.wait();
        return true;
      },
      filterQueue, true);
  for (long tag = 0; tag < 5; ++tag) {
    sender.socket->sendData(bytesOf("x"), loopbackAddress4(receiver.port), -1, tag);
  }
  ASSERT_TRUE(filterEntered.wait(std::chrono::seconds(10)));
  sender.socket->close();
  release.signal();
  ASSERT_TRUE(sender.delegate->waitFor(UdpEvent::Closed));
  // The late answer of the filter finds its datagram gone.
  sender.socket->performBlock([] {});
  sender.socket->setSendFilter(nullptr, nullptr);
  sender.socket->performBlock([] {});
  RecordingUdpDelegate::drain(sender.delegateQueue);
  const auto events = sender.delegate->events();
  ASSERT_EQ(events.size(), 6u);
  for (long tag = 0; tag < 5; ++tag) {
    EXPECT_EQ(events[tag].kind, UdpEvent::NotSent);
    EXPECT_EQ(events[tag].tag, tag);
    EXPECT_EQ(events[tag].error.code(), kDispatchUdpSocketClosedError);
    EXPECT_EQ(events[tag].error.localizedDescription(), "Socket closed");
  }
  EXPECT_EQ(events[5].kind, UdpEvent::Closed);
  EXPECT_TRUE(sender.socket->isClosed());
  // The filter may still be leaving release.wait(): the semaphores must
  // outlive it.
  filterQueue->sync([] {});
}

TEST(UdpSocketSend, RefusedDatagramFailsAloneAndTheQueueGoesOn) {
  Receiver receiver;
  receiver.socket->beginReceiving();
  UdpPeer sender;
  sender.socket->setIPv6Enabled(false);
  const Bytes to = loopbackAddress4(receiver.port);
  sender.socket->sendData(bytesOf("before"), to, -1, 1);
  // Over the 65,507-byte limit of an IPv4 datagram: "Message too long".
  sender.socket->sendData(std::make_shared<const Bytes>(65530, 'x'), to, -1, 2);
  sender.socket->sendData(bytesOf("after"), to, -1, 3);
  ASSERT_TRUE(sender.delegate->waitFor(UdpEvent::Sent, 2));
  ASSERT_TRUE(receiver.delegate->waitFor(UdpEvent::Received, 2));
  RecordingUdpDelegate::drain(sender.delegateQueue);
  const auto events = sender.delegate->events();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].kind, UdpEvent::Sent);
  EXPECT_EQ(events[0].tag, 1);
  EXPECT_EQ(events[1].kind, UdpEvent::NotSent);
  EXPECT_EQ(events[1].tag, 2);
  EXPECT_EQ(events[1].error.code(), EMSGSIZE);
  EXPECT_EQ(events[1].error.localizedDescription(), "Message too long");
  EXPECT_EQ(events[2].kind, UdpEvent::Sent);
  EXPECT_EQ(events[2].tag, 3);
  EXPECT_FALSE(sender.socket->isClosed());
  EXPECT_EQ(textOf(receiver.delegate->eventsOf(UdpEvent::Received)[1].data), "after");
  sender.socket->close();
}

TEST(UdpSocketSendFilter, DropsAreReportedAsSentAndFilterRunsOnItsQueue) {
  for (bool async : {false, true}) {
    Receiver receiver;
    ASSERT_TRUE(receiver.socket->beginReceiving());
    UdpPeer sender;
    auto filterQueue = Queue::createSerial("udp.test.filter");
    std::atomic<int> wrongQueue{0};
    sender.socket->setSendFilter(
        [&](const DispatchUdpSocket::Data& data, const Bytes& address, long tag) {
          if (Queue::currentLabel() != "udp.test.filter") ++wrongQueue;
          EXPECT_EQ(DispatchUdpSocket::portFromAddress(address), receiver.port);
          return tag != 2 && textOf(data) != "secret";
        },
        filterQueue, async);
    for (long tag = 1; tag <= 3; ++tag) {
      sender.socket->sendData(bytesOf(tag == 3 ? "three" : "x"), loopbackAddress4(receiver.port),
                              -1, tag);
    }
    ASSERT_TRUE(sender.delegate->waitFor(UdpEvent::Sent, 3)) << "async " << async;
    ASSERT_TRUE(receiver.delegate->waitFor(UdpEvent::Received, 2));
    RecordingUdpDelegate::drain(receiver.delegateQueue);
    const auto got = receiver.delegate->eventsOf(UdpEvent::Received);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(textOf(got[1].data), "three");
    EXPECT_EQ(wrongQueue, 0);
  }
}

TEST(UdpSocketSendFilter, SynchronousFilterOnTheSocketQueueDoesNotDeadlock) {
  Receiver receiver;
  ASSERT_TRUE(receiver.socket->beginReceiving());
  auto socketQueue = Queue::createSerial("udp.test.own");
  UdpPeer sender(socketQueue);
  sender.socket->setSendFilter(
      [](const DispatchUdpSocket::Data&, const Bytes&, long) { return true; }, socketQueue, false);
  sender.socket->sendData(bytesOf("inline"), loopbackAddress4(receiver.port), -1, 1);
  ASSERT_TRUE(sender.delegate->waitFor(UdpEvent::Sent));
  ASSERT_TRUE(receiver.delegate->waitFor(UdpEvent::Received));
}

TEST(UdpSocketReceive, RefusedBeforeTheSocketsExist) {
  UdpPeer peer;
  platform::Error error;
  EXPECT_FALSE(peer.socket->receiveOnce(&error));
  EXPECT_EQ(error.code(), 1);
  EXPECT_EQ(error.localizedDescription(),
            "Must bind socket before you can receive data. You can do this explicitly via bind, "
            "or implicitly via connect or by sending data.");
  EXPECT_FALSE(peer.socket->beginReceiving(&error));
}

TEST(UdpSocketReceive, OnceDeliversOneDatagramEvenWhenAskedTwice) {
  Receiver receiver;
  ASSERT_TRUE(receiver.socket->receiveOnce());
  ASSERT_TRUE(receiver.socket->receiveOnce());
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sendRaw(receiver.port, "first", fd);
  sendRaw(receiver.port, "second", fd);
  ASSERT_TRUE(receiver.delegate->waitFor(UdpEvent::Received));
  receiver.socket->performBlock([] {});
  RecordingUdpDelegate::drain(receiver.delegateQueue);
  EXPECT_EQ(receiver.delegate->count(UdpEvent::Received), 1u);
  // The second waits in the system until asked for.
  ASSERT_TRUE(receiver.socket->receiveOnce());
  ASSERT_TRUE(receiver.delegate->waitFor(UdpEvent::Received, 2));
  EXPECT_EQ(textOf(receiver.delegate->eventsOf(UdpEvent::Received)[1].data), "second");
  ::close(fd);
}

TEST(UdpSocketReceive, ExactSizesEmptyDatagramsAndTruncation) {
  Receiver receiver;
  receiver.socket->setMaxReceiveIPv4BufferSize(1200);
  ASSERT_TRUE(receiver.socket->beginReceiving());
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sendRaw(receiver.port, std::string(1000, 'a'), fd);
  sendRaw(receiver.port, "", fd);  // a datagram of 0 bytes
  sendRaw(receiver.port, std::string(3000, 'b'), fd);
  sendRaw(receiver.port, "after", fd);
  ASSERT_TRUE(receiver.delegate->waitFor(UdpEvent::Received, 4));
  const auto got = receiver.delegate->eventsOf(UdpEvent::Received);
  EXPECT_EQ(got[0].data->size(), 1000u);
  EXPECT_EQ(got[0].address.size(), 16u);
  EXPECT_EQ(got[1].data->size(), 0u);
  EXPECT_EQ(got[2].data->size(), 1200u);  // cut to the receive size
  EXPECT_EQ(textOf(got[3].data), "after");
  EXPECT_EQ(receiver.delegate->count(UdpEvent::Closed), 0u);
  EXPECT_FALSE(receiver.socket->isClosed());
  ::close(fd);
}

TEST(UdpSocketReceive, ContinuousPauseAndResume) {
  Receiver receiver;
  ASSERT_TRUE(receiver.socket->beginReceiving());
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  for (int i = 0; i < 50; ++i) sendRaw(receiver.port, "d" + std::to_string(i), fd);
  ASSERT_TRUE(receiver.delegate->waitFor(UdpEvent::Received, 50));
  receiver.socket->pauseReceiving();
  receiver.socket->performBlock([] {});
  sendRaw(receiver.port, "while paused", fd);
  // Nothing is read while paused: the datagram waits in the system. Once a
  // later receive is asked for, it arrives first.
  receiver.socket->performBlock([] {});
  RecordingUdpDelegate::drain(receiver.delegateQueue);
  EXPECT_EQ(receiver.delegate->count(UdpEvent::Received), 50u);
  ASSERT_TRUE(receiver.socket->beginReceiving());
  ASSERT_TRUE(receiver.delegate->waitFor(UdpEvent::Received, 51));
  const auto got = receiver.delegate->eventsOf(UdpEvent::Received);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(textOf(got[i].data), "d" + std::to_string(i));
  EXPECT_EQ(textOf(got[50].data), "while paused");
  ::close(fd);
}

TEST(UdpSocketReceiveFilter, ContextReachesTheDelegateAndRefusalsAreDropped) {
  for (bool async : {false, true}) {
    Receiver receiver;
    auto filterQueue = Queue::createSerial("udp.test.rfilter");
    receiver.socket->setReceiveFilter(
        [](const DispatchUdpSocket::Data& data, const Bytes& address,
           std::shared_ptr<void>* context) {
          EXPECT_EQ(address.size(), 16u);
          if (textOf(data).starts_with("drop")) return false;
          *context = std::make_shared<std::string>("ctx:" + textOf(data));
          return true;
        },
        filterQueue, async);
    // Receiving once keeps reading until the filter accepts one.
    ASSERT_TRUE(receiver.socket->receiveOnce());
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sendRaw(receiver.port, "drop 1", fd);
    sendRaw(receiver.port, "drop 2", fd);
    sendRaw(receiver.port, "keep", fd);
    sendRaw(receiver.port, "next", fd);
    ASSERT_TRUE(receiver.delegate->waitFor(UdpEvent::Received)) << "async " << async;
    receiver.socket->performBlock([] {});
    RecordingUdpDelegate::drain(receiver.delegateQueue);
    auto got = receiver.delegate->eventsOf(UdpEvent::Received);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(textOf(got[0].data), "keep");
    ASSERT_TRUE(got[0].context);
    EXPECT_EQ(*std::static_pointer_cast<std::string>(got[0].context), "ctx:keep");
    ASSERT_TRUE(receiver.socket->beginReceiving());
    ASSERT_TRUE(receiver.delegate->waitFor(UdpEvent::Received, 2));
    EXPECT_EQ(textOf(receiver.delegate->eventsOf(UdpEvent::Received)[1].data), "next");
    ::close(fd);
  }
}

TEST(UdpSocketReceiveFilter, SynchronousFilterOnTheSocketQueueDoesNotDeadlock) {
  auto socketQueue = Queue::createSerial("udp.test.own");
  UdpPeer receiver(socketQueue);
  ASSERT_TRUE(receiver.socket->bindToAddress(loopbackAddress4(0)));
  receiver.socket->setReceiveFilter(
      [&](const DispatchUdpSocket::Data&, const Bytes&, std::shared_ptr<void>*) {
        // Calls back into the socket from the filter, as the socket queue.
        return receiver.socket->localPort() != 0;
      },
      socketQueue, false);
  ASSERT_TRUE(receiver.socket->receiveOnce());
  sendRaw(receiver.socket->localPort(), "ok");
  ASSERT_TRUE(receiver.delegate->waitFor(UdpEvent::Received));
}

// Datagram callbacks of a burst may reach the delegate queue together; each
// still arrives once and in order, also past the size of one such post, and
// a block that a filter puts on the delegate queue keeps its place between
// them.
TEST(UdpSocketReceive, BurstsReachTheDelegateInOrderAroundFilterPosts) {
  Receiver receiver;
  constexpr int kCount = 100;
  std::vector<std::size_t> seenByMarker;  // touched on the delegate queue only
  receiver.socket->setReceiveFilter(
      [&](const DispatchUdpSocket::Data& data, const Bytes&, std::shared_ptr<void>*) {
        if (textOf(data) == "30" || textOf(data) == "80") {
          receiver.delegateQueue->async([&] {
            seenByMarker.push_back(receiver.delegate->eventsOf(UdpEvent::Received).size());
          });
        }
        return true;
      },
      Queue::createSerial("udp.test.rfilter"), false);
  // All of them wait in the system before reading starts, so they are read
  // in one go.
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  const int buffer = 1 << 20;
  ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
  for (int i = 0; i < kCount; ++i) sendRaw(receiver.port, std::to_string(i), fd);
  ::close(fd);
  ASSERT_TRUE(receiver.socket->beginReceiving());
  ASSERT_TRUE(receiver.delegate->waitFor(UdpEvent::Received, kCount));
  RecordingUdpDelegate::drain(receiver.delegateQueue);
  const auto got = receiver.delegate->eventsOf(UdpEvent::Received);
  ASSERT_EQ(got.size(), static_cast<std::size_t>(kCount));
  for (int i = 0; i < kCount; ++i) EXPECT_EQ(textOf(got[i].data), std::to_string(i));
  EXPECT_EQ(seenByMarker, (std::vector<std::size_t>{30, 80}));

  UdpPeer sender;
  for (long tag = 0; tag < kCount; ++tag) {
    sender.socket->sendData(bytesOf("x"), loopbackAddress4(receiver.port), -1, tag);
  }
  sender.socket->closeAfterSending();
  ASSERT_TRUE(sender.delegate->waitFor(UdpEvent::Closed));
  const auto events = sender.delegate->events();
  ASSERT_EQ(events.size(), static_cast<std::size_t>(kCount) + 1);
  for (long tag = 0; tag < kCount; ++tag) {
    EXPECT_EQ(events[tag].kind, UdpEvent::Sent);
    EXPECT_EQ(events[tag].tag, tag);
  }
  EXPECT_EQ(events[kCount].kind, UdpEvent::Closed);
}

// Sends made before and after another request take effect on their side of
// it, however quickly they follow each other.
TEST(UdpSocketSend, RequestsBetweenSendsKeepTheirPlace) {
  Receiver receiver;
  UdpPeer sender;
  for (int round = 0; round < 20; ++round) {
    std::vector<long> filtered;  // touched on the socket queue only
    for (long tag = 0; tag < 3; ++tag) {
      sender.socket->sendData(bytesOf("x"), loopbackAddress4(receiver.port), -1, tag);
    }
    sender.socket->setSendFilter(
        [&](const DispatchUdpSocket::Data&, const Bytes&, long tag) {
          filtered.push_back(tag);
          return true;
        },
        Queue::createSerial("udp.test.sfilter"), false);
    for (long tag = 3; tag < 5; ++tag) {
      sender.socket->sendData(bytesOf("x"), loopbackAddress4(receiver.port), -1, tag);
    }
    sender.socket->setSendFilter(nullptr, nullptr);
    sender.socket->performBlock([] {});
    EXPECT_EQ(filtered, (std::vector<long>{3, 4})) << "round " << round;
  }
}

// Datagrams queued together may reach the system together; each still
// gets its own outcome, in order, and a datagram that needs a look-up, has
// a bad destination, goes to the other family or is refused by the system
// keeps its place among them.
TEST(UdpSocketSend, QueuedBurstKeepsOrderAndOutcomePerDatagram) {
  Receiver first;
  ASSERT_TRUE(first.socket->beginReceiving());
  const bool six = testing::hasIPv6Loopback();
  Receiver second(six ? AF_INET6 : AF_INET);
  ASSERT_TRUE(second.socket->beginReceiving());
  const Bytes toFirst = loopbackAddress4(first.port);
  const Bytes toSecond = six ? loopbackAddress6(second.port) : loopbackAddress4(second.port);

  UdpPeer sender;
  // Holds the socket queue while the burst is queued, so it is taken in one go.
  platform::dispatch::Semaphore entered;
  platform::dispatch::Semaphore release;
  std::thread holder([&] {
    sender.socket->performBlock([&] {
      entered.signal();
      release.wait();
    });
  });
  ASSERT_TRUE(entered.wait(std::chrono::seconds(10)));
  std::vector<std::string> toFirstTexts;
  std::vector<std::string> toSecondTexts;
  auto send = [&](long tag, const Bytes& to) {
    const std::string text = "t" + std::to_string(tag);
    sender.socket->sendData(bytesOf(text), to, -1, tag);
    (to == toFirst ? toFirstTexts : toSecondTexts).push_back(text);
  };
  for (long tag = 0; tag < 10; ++tag) send(tag, toFirst);
  sender.socket->sendData(std::make_shared<const Bytes>(65530, 'x'), toFirst, -1, 10);
  for (long tag = 11; tag < 15; ++tag) send(tag, toFirst);
  sender.socket->sendData(bytesOf("t15"), "127.0.0.1", first.port, -1, 15);
  toFirstTexts.push_back("t15");
  for (long tag = 16; tag < 20; ++tag) send(tag, toSecond);
  sender.socket->sendData(bytesOf("bad"), Bytes{1, 2, 3}, -1, 20);
  for (long tag = 21; tag < 60; ++tag) send(tag, toFirst);
  release.signal();
  holder.join();

  constexpr std::size_t kTotal = 60;
  ASSERT_TRUE(sender.delegate->waitFor(UdpEvent::Sent, kTotal - 2));
  ASSERT_TRUE(first.delegate->waitFor(UdpEvent::Received, toFirstTexts.size()));
  ASSERT_TRUE(second.delegate->waitFor(UdpEvent::Received, toSecondTexts.size()));
  RecordingUdpDelegate::drain(sender.delegateQueue);
  const auto events = sender.delegate->events();
  ASSERT_EQ(events.size(), kTotal);
  for (long tag = 0; tag < static_cast<long>(kTotal); ++tag) {
    EXPECT_EQ(events[tag].tag, tag);
    const bool fails = tag == 10 || tag == 20;
    EXPECT_EQ(events[tag].kind, fails ? UdpEvent::NotSent : UdpEvent::Sent) << "tag " << tag;
  }
  EXPECT_EQ(events[10].error.code(), EMSGSIZE);
  EXPECT_EQ(events[20].error.localizedDescription(), "A valid IPv4 or IPv6 address was not given");
  auto texts = [](const std::vector<UdpEvent>& received) {
    std::vector<std::string> result;
    for (const auto& e : received) result.push_back(textOf(e.data));
    return result;
  };
  EXPECT_EQ(texts(first.delegate->eventsOf(UdpEvent::Received)), toFirstTexts);
  EXPECT_EQ(texts(second.delegate->eventsOf(UdpEvent::Received)), toSecondTexts);
  EXPECT_FALSE(sender.socket->isClosed());
}

// Datagrams are read several at a time. When a filter running on the socket
// queue stops receiving part-way through what was read, the rest is neither
// delivered early nor lost: it comes first, in order, once receiving starts
// again. A close from the filter drops what is left.
TEST(UdpSocketReceive, StopInsideABatchKeepsTheRestForLater) {
  auto socketQueue = Queue::createSerial("udp.test.own");
  UdpPeer receiver(socketQueue);
  ASSERT_TRUE(receiver.socket->bindToAddress(loopbackAddress4(0)));
  const std::uint16_t port = receiver.socket->localPort();
  std::vector<std::string> filtered;  // touched on the socket queue only
  receiver.socket->setReceiveFilter(
      [&](const DispatchUdpSocket::Data& data, const Bytes&, std::shared_ptr<void>*) {
        const std::string text = textOf(data);
        filtered.push_back(text);
        if (text == "5") receiver.socket->pauseReceiving();
        if (text != "12") return true;
        receiver.socket->close();
        return false;
      },
      socketQueue, false);
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  for (int i = 0; i < 20; ++i) sendRaw(port, std::to_string(i), fd);
  ASSERT_TRUE(receiver.socket->beginReceiving());
  ASSERT_TRUE(receiver.delegate->waitFor(UdpEvent::Received, 6));
  receiver.socket->performBlock([] {});
  RecordingUdpDelegate::drain(receiver.delegateQueue);
  EXPECT_EQ(receiver.delegate->count(UdpEvent::Received), 6u);
  ASSERT_TRUE(receiver.socket->beginReceiving());
  ASSERT_TRUE(receiver.delegate->waitFor(UdpEvent::Closed));
  receiver.socket->performBlock([] {});
  RecordingUdpDelegate::drain(receiver.delegateQueue);
  const auto events = receiver.delegate->events();
  ASSERT_EQ(events.size(), 13u);
  for (int i = 0; i < 12; ++i) {
    EXPECT_EQ(events[i].kind, UdpEvent::Received);
    EXPECT_EQ(textOf(events[i].data), std::to_string(i));
  }
  EXPECT_EQ(events[12].kind, UdpEvent::Closed);
  std::vector<std::string> expected;
  for (int i = 0; i < 13; ++i) expected.push_back(std::to_string(i));
  receiver.socket->performBlock([&] { EXPECT_EQ(filtered, expected); });
  ::close(fd);
}

TEST(UdpSocketIPv6, SendAndReceiveOverIPv6Loopback) {
  if (!testing::hasIPv6Loopback()) GTEST_SKIP() << "no IPv6 loopback";
  Receiver receiver(AF_INET6);
  EXPECT_EQ(receiver.socket->localHost(), "::1");
  ASSERT_TRUE(receiver.socket->beginReceiving());
  UdpPeer sender;
  sender.socket->setPreferIPv6();
  sender.socket->sendData(bytesOf("six"), "localhost", receiver.port, 5.0, 6);
  ASSERT_TRUE(sender.delegate->waitFor(UdpEvent::Sent));
  ASSERT_TRUE(receiver.delegate->waitFor(UdpEvent::Received));
  const auto got = receiver.delegate->eventsOf(UdpEvent::Received)[0];
  EXPECT_EQ(textOf(got.data), "six");
  EXPECT_EQ(got.address.size(), 28u);
  EXPECT_EQ(DispatchUdpSocket::hostFromAddress(got.address), "::1");
}

}  // namespace
}  // namespace net::sockets
