#include "net/sockets/dispatch_socket_read_decision.h"

#include <gtest/gtest.h>

namespace net::sockets {
namespace {

ReadStepInputs reading(std::size_t estimated, std::size_t preBuffered = 0) {
  ReadStepInputs in;
  in.hasRequest = true;
  in.estimatedBytes = estimated;
  in.preBufferedBytes = preBuffered;
  return in;
}

TEST(ReadStepTest, NoRequestOrPausedReadsStayIdleWhateverIsAvailable) {
  ReadStepInputs none = reading(100, 10);
  none.hasRequest = false;
  EXPECT_EQ(readStep(none), ReadStep::Idle);
  ReadStepInputs paused = reading(100);
  paused.readsPaused = true;
  paused.startingReadTLS = true;  // idle comes before any TLS step
  EXPECT_EQ(readStep(paused), ReadStep::Idle);
}

TEST(ReadStepTest, NothingAnywhereWaitsAndReadAheadBytesAloneAreRead) {
  EXPECT_EQ(readStep(reading(0, 0)), ReadStep::WaitForBytes);
  EXPECT_EQ(readStep(reading(0, 5)), ReadStep::Read);
  EXPECT_EQ(readStep(reading(7, 0)), ReadStep::Read);
}

TEST(ReadStepTest, StartingTLSContinuesOnlyABlockedHandshakeOfBothSides) {
  ReadStepInputs in = reading(10);
  in.startingReadTLS = true;
  EXPECT_EQ(readStep(in), ReadStep::WaitForHandshake);
  in.startingWriteTLS = true;
  EXPECT_EQ(readStep(in), ReadStep::WaitForHandshake);  // not blocked: waits for trust
  in.handshakeWouldBlock = true;
  EXPECT_EQ(readStep(in), ReadStep::ContinueHandshake);
  in.estimatedBytes = 0;  // nothing to read: wait for bytes first
  EXPECT_EQ(readStep(in), ReadStep::WaitForBytes);
}

TEST(ReadFollowUpTest, CompleteRequestIsFollowedByTheNextUnlessFailedOrClosedEmpty) {
  ReadStepOutcome out;
  out.done = true;
  out.waiting = true;
  ReadFollowUp next = readFollowUp(out);
  EXPECT_TRUE(next.complete);
  EXPECT_TRUE(next.dequeueNext);
  EXPECT_FALSE(next.reportPartial);
  EXPECT_EQ(next.then, ReadFollowUp::Then::ResumeSource);

  out.eof = true;  // closed, nothing read ahead: no next request, handle the end
  next = readFollowUp(out);
  EXPECT_FALSE(next.dequeueNext);
  EXPECT_EQ(next.then, ReadFollowUp::Then::ReadEOF);
  out.preBufferedBytes = 3;  // ... unless bytes read ahead may serve it
  EXPECT_TRUE(readFollowUp(out).dequeueNext);

  out.failed = true;  // an error wins over the end of file
  next = readFollowUp(out);
  EXPECT_TRUE(next.complete);
  EXPECT_FALSE(next.dequeueNext);
  EXPECT_EQ(next.then, ReadFollowUp::Then::Close);
}

TEST(ReadFollowUpTest, AvailableDataReadCompletesWithAnyBytesOthersReportPartialProgress) {
  ReadStepOutcome out;
  out.bytesTaken = 4;
  out.waiting = true;
  ReadFollowUp partial = readFollowUp(out);
  EXPECT_FALSE(partial.complete);
  EXPECT_TRUE(partial.reportPartial);
  EXPECT_EQ(partial.then, ReadFollowUp::Then::ResumeSource);

  out.availableDataRead = true;
  EXPECT_TRUE(readFollowUp(out).complete);
  EXPECT_FALSE(readFollowUp(out).reportPartial);

  out.bytesTaken = 0;  // nothing taken: neither complete nor partial
  ReadFollowUp nothing = readFollowUp(out);
  EXPECT_FALSE(nothing.complete);
  EXPECT_FALSE(nothing.reportPartial);
  out.waiting = false;
  EXPECT_EQ(readFollowUp(out).then, ReadFollowUp::Then::Nothing);
}

}  // namespace
}  // namespace net::sockets
