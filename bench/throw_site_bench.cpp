// The cost the crash SDK adds to every C++ throw: its __cxa_throw keeps the
// throw's frames (backtrace() of up to 64 return addresses) before handing
// the throw to the runtime. Baseline: the same throw handed straight to the
// runtime's __cxa_throw, skipping the capture. Both throw an int from
// `depth` frames below the catch, so the unwinding work is the same.
//   BM_Throw/<depth>          throw and catch with the SDK's capture
//   BM_ThrowRuntimeOnly/<depth> the baseline
//   BM_Backtrace/<depth>      the capture's backtrace() call alone
#include <benchmark/benchmark.h>
#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>

#include <cstdint>
#include <typeinfo>

#include "sdk/crash/capture/ctr_throw_site.h"

namespace {

using CxaThrow = void (*)(void*, std::type_info*, void (*)(void*));

// The runtime's __cxa_throw (the one after this program's, which is the SDK's).
CxaThrow runtimeThrow() {
  static const CxaThrow next = reinterpret_cast<CxaThrow>(::dlsym(RTLD_NEXT, "__cxa_throw"));
  return next;
}

__attribute__((noinline)) void throwAt(int depth, bool runtimeOnly) {
  if (depth > 0) {
    throwAt(depth - 1, runtimeOnly);
    benchmark::ClobberMemory();  // no tail call: every frame stays
    return;
  }
  if (runtimeOnly) {
    void* object = __cxxabiv1::__cxa_allocate_exception(sizeof(int));
    *static_cast<int*>(object) = 42;
    runtimeThrow()(object, const_cast<std::type_info*>(&typeid(int)), nullptr);
  }
  throw 42;
}

__attribute__((noinline)) void backtraceAt(int depth) {
  if (depth > 0) {
    backtraceAt(depth - 1);
    benchmark::ClobberMemory();
    return;
  }
  void* frames[sdk::kCTRThrowSiteMaxFrames + 1];
  benchmark::DoNotOptimize(::backtrace(frames, static_cast<int>(sdk::kCTRThrowSiteMaxFrames + 1)));
}

void BM_Throw(benchmark::State& state) {
  sdk::CTRThrowSiteWarmUp();
  for (auto _ : state) {
    try {
      throwAt(static_cast<int>(state.range(0)), false);
    } catch (int value) {
      benchmark::DoNotOptimize(value);
    }
  }
}

void BM_ThrowRuntimeOnly(benchmark::State& state) {
  if (runtimeThrow() == nullptr) {
    state.SkipWithError("no runtime __cxa_throw");
    return;
  }
  for (auto _ : state) {
    try {
      throwAt(static_cast<int>(state.range(0)), true);
    } catch (int value) {
      benchmark::DoNotOptimize(value);
    }
  }
}

void BM_Backtrace(benchmark::State& state) {
  sdk::CTRThrowSiteWarmUp();
  for (auto _ : state) backtraceAt(static_cast<int>(state.range(0)));
}

}  // namespace

BENCHMARK(BM_Throw)->Arg(1)->Arg(16)->Arg(64);
BENCHMARK(BM_ThrowRuntimeOnly)->Arg(1)->Arg(16)->Arg(64);
BENCHMARK(BM_Backtrace)->Arg(1)->Arg(16)->Arg(64);
BENCHMARK_MAIN();
