// Every thread of a program that links crash capture gets an alternate
// signal stack before its own code runs, so that a stack overflow on it can
// still be recorded: also the threads that libraries start (the toolkit's,
// the desktop bus library's, a plain std::thread), not only those of the
// platform layer.
//
// How: the SDK defines pthread_create. A program's own definition comes
// before the C library's for every caller, libraries included (the link
// exports it; see src/sdk/crash/CMakeLists.txt). It hands the call to the
// next definition (the C library's, or a sanitizer's) with a start routine
// that first gives the new thread its stack
// (platform::dispatch::ensureAlternateSignalStack), then runs the caller's.
//
// Guarantees:
//  1. Thread creation behaves as without the SDK: the same result, errors
//     and attributes; the caller's routine runs with its own argument and its
//     return value is the thread's. When the start record cannot be
//     allocated the thread is created without the wrapper.
//  2. A thread whose alternate stack cannot be mapped still starts.
// Not promised: a stack for threads made by clone() directly.
//
// Thread safety: any thread.
#pragma once

namespace sdk {

// True once the wrapper has started a thread (for tests); calling it also
// keeps the wrapper in programs that link the SDK statically.
bool CTRThreadStartWrapperWasUsed();

}  // namespace sdk
