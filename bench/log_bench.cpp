// Asynchronous logging to a rolling file: records per second and caller-side
// latency of the logging framework, against spdlog's asynchronous logger
// with a rotating file sink (the baseline), on the same messages.
//
// Both sides: one backend, a queue bounded at 1000 records with the caller
// waiting when it is full, files rolled at 1 MiB and at most 5 kept, and the
// line "yyyy/MM/dd HH:mm:ss:SSS  <message>".
//   Throughput: 20000 records per iteration, then a flush that waits until
//   all are in the file.
//   Latency: bursts of 256 records (well below the bound); each call is
//   timed (mean, median, 99th percentile), the flush after a burst is not.
#include <benchmark/benchmark.h>
#include <spdlog/async.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/spdlog.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "logging/file_logger.h"
#include "logging/log.h"
#include "platform/system/paths.h"

namespace {

namespace fs = std::filesystem;
using logging::LKFileLogger;
using logging::LKLog;
using logging::LKLogFileManagerDefault;

constexpr int kRecords = 20000;
constexpr int kBurst = 256;

std::string freshFolder(const char* tag) {
  std::string templ = platform::paths::temporary() + "/logbench-" + tag + "-XXXXXX";
  if (!mkdtemp(templ.data())) std::abort();
  return templ;
}

class OurLogger {
 public:
  OurLogger() : dir_(freshFolder("ours")) {
    logger_ = std::make_shared<LKFileLogger>(std::make_shared<LKLogFileManagerDefault>(dir_));
    LKLog::addLogger(logger_, 7);
  }
  ~OurLogger() {
    LKLog::removeLogger(logger_);
    LKLog::flushLog();                    // the removal has been handed to the logger
    logger_->loggerQueue()->sync([] {});  // and the logger has closed its file
    logger_.reset();
    fs::remove_all(dir_);
  }
  void log(int i, std::uint64_t bytes) {
    LKLog::log(true, 7, logging::LKLogFlagInfo, 0, __FILE__, __func__, __LINE__, {},
               "connection %d state %@ bytes %llu", i, "CONNECTED", bytes);
  }
  void flush() { LKLog::flushLog(); }

 private:
  std::string dir_;
  std::shared_ptr<LKFileLogger> logger_;
};

// spdlog's asynchronous flush does not wait; this sink wraps its rotating
// file sink and counts the flushes done, so the bench can wait for the one it
// asked for.
class WaitableRotatingSink : public spdlog::sinks::base_sink<std::mutex> {
 public:
  WaitableRotatingSink(const std::string& path, std::size_t maxSize, std::size_t maxFiles)
      : inner_(std::make_shared<spdlog::sinks::rotating_file_sink_st>(path, maxSize, maxFiles)) {}
  void waitForFlush(std::uint64_t count) {
    std::unique_lock lock(m_);
    cv_.wait(lock, [&] { return flushes_ >= count; });
  }

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override { inner_->log(msg); }
  void set_pattern_(const std::string& pattern) override { inner_->set_pattern(pattern); }
  void set_formatter_(std::unique_ptr<spdlog::formatter> f) override {
    inner_->set_formatter(std::move(f));
  }
  void flush_() override {
    inner_->flush();
    std::lock_guard lock(m_);
    ++flushes_;
    cv_.notify_all();
  }

 private:
  std::shared_ptr<spdlog::sinks::rotating_file_sink_st> inner_;
  std::mutex m_;
  std::condition_variable cv_;
  std::uint64_t flushes_ = 0;
};

class SpdLogger {
 public:
  SpdLogger() : dir_(freshFolder("spdlog")) {
    pool_ = std::make_shared<spdlog::details::thread_pool>(1000, 1);
    sink_ = std::make_shared<WaitableRotatingSink>(dir_ + "/bench.log", 1024 * 1024, 5);
    logger_ = std::make_shared<spdlog::async_logger>("bench", sink_, pool_,
                                                     spdlog::async_overflow_policy::block);
    logger_->set_pattern("%Y/%m/%d %H:%M:%S:%e  %v");
    logger_->set_level(spdlog::level::info);
  }
  ~SpdLogger() {
    flush();
    logger_.reset();
    pool_.reset();
    fs::remove_all(dir_);
  }
  void log(int i, std::uint64_t bytes) {
    logger_->info("connection {} state {} bytes {}", i, "CONNECTED", bytes);
  }
  // Queued behind the records; waits until the backend has written them.
  void flush() {
    logger_->flush();
    sink_->waitForFlush(++flushes_);
  }

 private:
  std::string dir_;
  std::uint64_t flushes_ = 0;
  std::shared_ptr<spdlog::details::thread_pool> pool_;
  std::shared_ptr<WaitableRotatingSink> sink_;
  std::shared_ptr<spdlog::async_logger> logger_;
};

template <class Logger>
void BM_Throughput(benchmark::State& state) {
  Logger logger;
  std::uint64_t bytes = 1234567;
  for (auto _ : state) {
    for (int i = 0; i < kRecords; ++i) logger.log(i, bytes++);
    logger.flush();
  }
  state.SetItemsProcessed(state.iterations() * kRecords);
}

template <class Logger>
void BM_CallerLatency(benchmark::State& state) {
  Logger logger;
  std::uint64_t bytes = 1234567;
  std::vector<double> calls;  // nanoseconds per call
  for (auto _ : state) {
    auto burstStart = std::chrono::steady_clock::now();
    for (int i = 0; i < kBurst; ++i) {
      auto start = std::chrono::steady_clock::now();
      logger.log(i, bytes++);
      calls.push_back(
          std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start)
              .count());
    }
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - burstStart).count());
    logger.flush();
  }
  std::sort(calls.begin(), calls.end());
  double sum = 0;
  for (double c : calls) sum += c;
  state.counters["mean_ns"] = sum / static_cast<double>(calls.size());
  state.counters["p50_ns"] = calls[calls.size() / 2];
  state.counters["p99_ns"] = calls[calls.size() * 99 / 100];
  state.SetItemsProcessed(state.iterations() * kBurst);
}

BENCHMARK_TEMPLATE(BM_Throughput, OurLogger)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_TEMPLATE(BM_Throughput, SpdLogger)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_TEMPLATE(BM_CallerLatency, OurLogger)->Unit(benchmark::kNanosecond)->UseManualTime();
BENCHMARK_TEMPLATE(BM_CallerLatency, SpdLogger)->Unit(benchmark::kNanosecond)->UseManualTime();

}  // namespace

BENCHMARK_MAIN();
