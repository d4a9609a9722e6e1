// The decisions of DispatchSocket's read step (doReadData), apart from the
// socket: what to do before any byte is touched, and what follows once the
// bytes of this step were taken. Pure functions of plain values, so they
// are tested without sockets (tests/net/sockets/dispatch_socket_read_decision_test.cpp).
//
// Thread safety: pure functions; any thread.
#pragma once

#include <cstddef>

namespace net::sockets {

// What the socket knows when its read step begins.
struct ReadStepInputs {
  bool hasRequest = false;           // a read request is current
  bool readsPaused = false;          // reads wait (for TLS to start, say)
  bool secure = false;               // TLS is up
  bool startingReadTLS = false;      // a TLS start waits on the read side
  bool startingWriteTLS = false;     // ... and on the write side
  bool handshakeWouldBlock = false;  // the last handshake step would have blocked
  std::size_t estimatedBytes = 0;    // bytes the descriptor (and TLS) hold, as far as known
  std::size_t preBufferedBytes = 0;  // bytes read ahead earlier
};

enum class ReadStep {
  // No request, or reads paused: flush what TLS holds (when secure) and
  // suspend the read source when the descriptor holds bytes.
  Idle,
  // Nothing to read anywhere: resume the read source and wait.
  WaitForBytes,
  // Both sides wait for TLS and the handshake would have blocked: go on with it.
  ContinueHandshake,
  // TLS starts and waits for something else (the delegate's trust answer):
  // suspend the read source, so a readable descriptor does not fire again and again.
  WaitForHandshake,
  // Take bytes for the current request.
  Read,
};

ReadStep readStep(const ReadStepInputs& in);

// What the read step found.
struct ReadStepOutcome {
  bool done = false;               // the request is complete
  bool failed = false;             // an error ended the step
  bool eof = false;                // the peer closed its side
  bool waiting = false;            // the descriptor has nothing more for now
  std::size_t bytesTaken = 0;      // bytes added to the request in this step
  bool availableDataRead = false;  // the request reads whatever is there (no length, no terminator)
  std::size_t preBufferedBytes = 0;  // read-ahead bytes left after the step
};

struct ReadFollowUp {
  bool complete = false;       // complete the request (tell the delegate)
  bool dequeueNext = false;    // then start the next one
  bool reportPartial = false;  // tell the delegate of bytesTaken (request not complete)
  enum class Then { Nothing, Close, ReadEOF, ResumeSource } then = Then::Nothing;
};

// An available-data read is complete as soon as it took anything; a
// complete request is followed by the next one unless the step failed or
// the peer closed with nothing read ahead; then an error closes the
// socket, an end of file is handled, or the source is resumed to wait.
ReadFollowUp readFollowUp(const ReadStepOutcome& out);

}  // namespace net::sockets
