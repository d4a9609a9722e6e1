#include "net/sockets/dispatch_socket_read_decision.h"

namespace net::sockets {

ReadStep readStep(const ReadStepInputs& in) {
  if (!in.hasRequest || in.readsPaused) return ReadStep::Idle;
  if (in.estimatedBytes == 0 && in.preBufferedBytes == 0) return ReadStep::WaitForBytes;
  if (in.startingReadTLS) {
    return in.startingWriteTLS && in.handshakeWouldBlock ? ReadStep::ContinueHandshake
                                                         : ReadStep::WaitForHandshake;
  }
  return ReadStep::Read;
}

ReadFollowUp readFollowUp(const ReadStepOutcome& out) {
  ReadFollowUp next;
  const bool done = out.done || (out.availableDataRead && out.bytesTaken > 0);
  if (done) {
    next.complete = true;
    next.dequeueNext = !out.failed && (!out.eof || out.preBufferedBytes > 0);
  } else {
    next.reportPartial = out.bytesTaken > 0;
  }
  if (out.failed) {
    next.then = ReadFollowUp::Then::Close;
  } else if (out.eof) {
    next.then = ReadFollowUp::Then::ReadEOF;
  } else if (out.waiting) {
    next.then = ReadFollowUp::Then::ResumeSource;
  }
  return next;
}

}  // namespace net::sockets
