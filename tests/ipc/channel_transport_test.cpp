// The transport's input side over a socket pair: what arrives in one burst
// (more than is read in one go, so reading goes on in several turns) reaches
// the event handler whole, once, in order and on the target queue; replies
// reach their own queue; and the error event of a closed socket comes after
// every message that was in it, as the last event.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/xpc/connection.h"
#include "platform/xpc/wire_codec.h"

using platform::dispatch::Queue;
using platform::xpc::ChannelError;
using platform::xpc::ChannelType;
using platform::xpc::ChannelValue;
using platform::xpc::Connection;
namespace wire = platform::xpc::wire;

namespace {

// What a connection's event handler saw, checked on its target queue.
struct Seen {
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<std::int64_t> indexes;
  std::vector<ChannelError> errors;
  std::size_t bytes = 0;
  bool offQueue = false;
  bool afterError = false;

  bool waitFor(const std::function<bool()>& done) {
    std::unique_lock<std::mutex> lock(mutex);
    return cv.wait_for(lock, std::chrono::seconds(20), done);
  }
};

std::shared_ptr<Connection> watched(int fd, const platform::dispatch::QueuePtr& queue,
                                    const std::shared_ptr<Seen>& seen) {
  auto c = Connection::adoptSocket(fd, "transport.test", Connection::Role::Peer);
  c->setTargetQueue(queue);
  c->setEventHandler([seen, queue](const ChannelValue& event) {
    std::lock_guard<std::mutex> lock(seen->mutex);
    if (!queue->isCurrent()) seen->offQueue = true;
    if (!seen->errors.empty()) seen->afterError = true;
    if (event.type() == ChannelType::Error) {
      seen->errors.push_back(event.errorValue());
    } else {
      seen->indexes.push_back(event.get("index").int64Value());
      seen->bytes += event.get("padding").bytes().size();
    }
    seen->cv.notify_all();
  });
  return c;
}

ChannelValue indexed(std::int64_t i, std::size_t padding) {
  ChannelValue m = ChannelValue::dictionary();
  m.set("index", ChannelValue::int64(i));
  m.set("padding", ChannelValue::data(std::vector<std::uint8_t>(padding, 0x33)));
  return m;
}

// A socket pair whose first end buffers `bytes` (as far as the system lets
// this process raise the limit), so a burst is in the socket at once.
void socketPair(int pair[2], int bytes) {
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  if (::setsockopt(pair[0], SOL_SOCKET, SO_SNDBUFFORCE, &bytes, sizeof bytes) != 0) {
    ::setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
  }
}

TEST(ChannelTransport, ABurstLargerThanOneReadArrivesWholeInOrderOnTheTargetQueue) {
  int pair[2];
  socketPair(pair, 4 << 20);
  auto sender = Connection::adoptSocket(pair[0], "transport.sender", Connection::Role::Peer);
  sender->setEventHandler([](const ChannelValue&) {});
  sender->resume();
  auto seen = std::make_shared<Seen>();
  auto queue = Queue::createSerial("transport.receiver");
  auto receiver = watched(pair[1], queue, seen);

  // Queued while the receiver is still suspended: about 3 MB wait in the
  // socket when reading starts.
  constexpr int kCount = 96;
  constexpr std::size_t kPadding = 32 << 10;
  for (int i = 0; i < kCount; ++i) sender->send(indexed(i, kPadding));
  receiver->resume();
  ASSERT_TRUE(seen->waitFor([&] { return seen->indexes.size() == kCount; }));

  // A request from the receiver's side gets its reply on the queue given.
  auto replyQueue = Queue::createSerial("transport.replies");
  sender->setEventHandler([&sender](const ChannelValue& request) {
    if (request.type() != ChannelType::Dictionary) return;
    ChannelValue reply = ChannelValue::createReply(request);
    reply.set("index", ChannelValue::int64(request.get("index").int64Value() + 1));
    sender->send(reply);
  });
  std::mutex m;
  std::condition_variable cv;
  std::int64_t answer = -1;
  bool onReplyQueue = false;
  receiver->sendWithReply(indexed(41, 16), replyQueue, [&](const ChannelValue& reply) {
    std::lock_guard<std::mutex> lock(m);
    onReplyQueue = replyQueue->isCurrent();
    answer = reply.type() == ChannelType::Dictionary ? reply.get("index").int64Value() : -2;
    cv.notify_all();
  });
  {
    std::unique_lock<std::mutex> lock(m);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(20), [&] { return answer != -1; }));
    EXPECT_EQ(answer, 42);
    EXPECT_TRUE(onReplyQueue);
  }

  std::lock_guard<std::mutex> lock(seen->mutex);
  for (int i = 0; i < kCount; ++i) ASSERT_EQ(seen->indexes[i], i);
  EXPECT_EQ(seen->bytes, kCount * kPadding);
  EXPECT_FALSE(seen->offQueue);
  EXPECT_TRUE(seen->errors.empty());
  sender->setEventHandler(nullptr);
  sender->cancel();
  receiver->cancel();
}

TEST(ChannelTransport, TheErrorOfAClosedSocketComesAfterEveryMessageInItAndLast) {
  for (std::size_t padding : {std::size_t{16}, std::size_t{64} << 10}) {
    int pair[2];
    socketPair(pair, 4 << 20);
    auto seen = std::make_shared<Seen>();
    auto receiver = watched(pair[1], Queue::createSerial("transport.receiver"), seen);
    receiver->resume();
    // Written straight into the socket and closed: end of file follows the
    // last frame within the same burst.
    constexpr int kCount = 40;
    std::thread writer([&] {
      for (int i = 0; i < kCount; ++i) {
        auto encoded = wire::encode(indexed(i, padding));
        ASSERT_TRUE(encoded);
        wire::FrameHeader h;
        h.length = static_cast<std::uint32_t>(encoded->bytes.size());
        std::vector<std::uint8_t> frame(wire::kHeaderSize);
        wire::writeHeader(h, frame.data());
        frame.insert(frame.end(), encoded->bytes.begin(), encoded->bytes.end());
        for (std::size_t off = 0; off < frame.size();) {
          ssize_t n = ::send(pair[0], frame.data() + off, frame.size() - off, MSG_NOSIGNAL);
          ASSERT_GT(n, 0);
          off += static_cast<std::size_t>(n);
        }
      }
      ::close(pair[0]);
    });
    writer.join();
    ASSERT_TRUE(seen->waitFor([&] { return !seen->errors.empty(); })) << padding;
    std::lock_guard<std::mutex> lock(seen->mutex);
    ASSERT_EQ(seen->indexes.size(), static_cast<std::size_t>(kCount)) << padding;
    for (int i = 0; i < kCount; ++i) EXPECT_EQ(seen->indexes[i], i);
    EXPECT_EQ(seen->errors, std::vector<ChannelError>{ChannelError::ConnectionInvalid});
    EXPECT_FALSE(seen->afterError);
    EXPECT_FALSE(seen->offQueue);
    EXPECT_TRUE(receiver->isInvalid());
  }
}

}  // namespace
