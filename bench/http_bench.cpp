// NKHTTPClient GETs with JSON replies over keep-alive loopback, against a
// baseline of the same requests (same headers, same server) driven straight
// through libcurl's multi interface, with the same JSON parse of each body.
// The same loads through a bare URLConnection, without the operation layer,
// show which layer costs what.
//
// Latency: one request in flight at a time. Throughput: 16 in flight.
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <atomic>
#include <string>
#include <vector>

#include "codecs/json_decoder.h"
#include "net/http/http_client.h"
#include "net/http/json_request_operation.h"
#include "platform/dispatch/spin_budget.h"
#include "platform/runloop/run_loop.h"
#include "platform/urlloading/url_connection.h"
#include "support/http_test_server.h"

namespace {

constexpr int kInFlight = 16;
const char* kReply =
    "{\"result\": \"success\", \"account\": {\"id\": 42, \"plan\": \"premium\", "
    "\"servers\": [\"a\", \"b\", \"c\"]}}";

test_support::HTTPTestServer& server() {
  static auto s = [] {
    auto srv = test_support::HTTPTestServer::start();
    srv->setReply("/json", test_support::HTTPReply::json(kReply));
    return srv;
  }();
  return *s;
}

std::shared_ptr<net::http::NKHTTPClient> client() {
  static auto c = [] {
    auto cl = net::http::NKHTTPClient::create(platform::URL(server().baseURL()));
    cl->registerHTTPOperationClass(net::http::NKJSONRequestOperation::operationClass());
    cl->setDefaultHeader("Accept", "application/json");
    return cl;
  }();
  return c;
}

// Connections the server accepted while `state` ran: keep-alive at work
// shows as one per request in flight, on both sides.
void countConnections(benchmark::State& state, std::size_t before) {
  state.counters["connections"] = static_cast<double>(server().connectionCount() - before);
}

void runClient(benchmark::State& state, int inFlight) {
  auto c = client();
  const std::size_t connectionsBefore = server().connectionCount();
  std::int64_t requests = 0;
  for (auto _ : state) {
    int done = 0;
    for (int i = 0; i < inFlight; ++i) {
      c->getPath(
          "json", platform::Value(),
          [&](const auto&, const platform::Value& json) {
            benchmark::DoNotOptimize(json);
            ++done;
          },
          [&](const auto&, const platform::Error&) {
            state.SkipWithError("request failed");
            ++done;
          });
    }
    platform::runloop::RunLoop::main().runUntil([&] { return done == inFlight; },
                                                std::chrono::seconds(30));
    requests += inFlight;
  }
  state.counters["requests/s"] =
      benchmark::Counter(static_cast<double>(requests), benchmark::Counter::kIsRate);
  countConnections(state, connectionsBefore);
}

// The same loads through URLConnection alone: its delegate keeps the body
// and parses it when the load ends (on the network thread, as the baseline
// parses on its one thread), and the benchmark's thread waits for the count.
struct ParsingDelegate : platform::urlloading::URLConnectionDelegate {
  explicit ParsingDelegate(std::atomic<int>& finished) : done(finished) {}
  std::atomic<int>& done;
  std::string body;
  bool failed = false;
  void connectionDidReceiveData(platform::urlloading::URLConnection&, const std::uint8_t* bytes,
                                std::size_t length) override {
    body.append(reinterpret_cast<const char*>(bytes), length);
  }
  void connectionDidFinishLoading(platform::urlloading::URLConnection&) override {
    benchmark::DoNotOptimize(codecs::objectFromJSONString(body));
    done.fetch_add(1, std::memory_order_release);
  }
  void connectionDidFailWithError(platform::urlloading::URLConnection&,
                                  const platform::Error&) override {
    failed = true;
    done.fetch_add(1, std::memory_order_release);
  }
};

void runConnection(benchmark::State& state, int inFlight) {
  platform::urlloading::URLRequest request{platform::URL(server().url("/json"))};
  const auto fields = client()->defaultHeaders();
  for (const auto& [name, value] : fields.fields()) request.setValueForHTTPHeaderField(name, value);
  std::atomic<int> done{0};
  std::vector<std::shared_ptr<ParsingDelegate>> delegates;
  std::int64_t requests = 0;
  for (auto _ : state) {
    done.store(0);
    delegates.clear();
    for (int i = 0; i < inFlight; ++i) {
      delegates.push_back(std::make_shared<ParsingDelegate>(done));
      platform::urlloading::URLConnection::create(request, delegates.back())->start();
    }
    while (done.load(std::memory_order_acquire) < inFlight) platform::dispatch::cpuRelax();
    for (const auto& delegate : delegates) {
      if (delegate->failed) state.SkipWithError("request failed");
    }
    requests += inFlight;
  }
  state.counters["requests/s"] =
      benchmark::Counter(static_cast<double>(requests), benchmark::Counter::kIsRate);
}

// The client's request headers, so that both sides send the server the
// same request.
curl_slist* clientHeaders() {
  curl_slist* list = nullptr;
  const auto fields = client()->defaultHeaders();
  for (const auto& [name, value] : fields.fields()) {
    list = curl_slist_append(list, (name + ": " + value).c_str());
  }
  return list;
}

// The baseline: one multi handle, reused easy handles (keep-alive), the
// same request headers and the same JSON parse per body.
struct CurlBaseline {
  CURLM* multi = curl_multi_init();
  std::vector<CURL*> easies;
  std::vector<std::string> bodies;
  std::string url = server().url("/json");
  curl_slist* headers = clientHeaders();

  static size_t write(char* data, size_t size, size_t n, void* user) {
    static_cast<std::string*>(user)->append(data, size * n);
    return size * n;
  }
  explicit CurlBaseline(int count) : easies(count), bodies(count) {
    for (int i = 0; i < count; ++i) {
      easies[i] = curl_easy_init();
      curl_easy_setopt(easies[i], CURLOPT_URL, url.c_str());
      curl_easy_setopt(easies[i], CURLOPT_WRITEFUNCTION, &write);
      curl_easy_setopt(easies[i], CURLOPT_WRITEDATA, &bodies[i]);
      curl_easy_setopt(easies[i], CURLOPT_HTTPHEADER, headers);
      curl_easy_setopt(easies[i], CURLOPT_NOSIGNAL, 1L);
    }
  }
  ~CurlBaseline() {
    for (CURL* e : easies) curl_easy_cleanup(e);
    curl_multi_cleanup(multi);
    curl_slist_free_all(headers);
  }
  bool runOnce() {
    for (std::size_t i = 0; i < easies.size(); ++i) {
      bodies[i].clear();
      curl_multi_add_handle(multi, easies[i]);
    }
    int running = 1;
    while (running) {
      curl_multi_perform(multi, &running);
      if (running) curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
    }
    bool ok = true;
    int left;
    while (CURLMsg* m = curl_multi_info_read(multi, &left)) {
      if (m->msg == CURLMSG_DONE && m->data.result != CURLE_OK) ok = false;
    }
    for (std::size_t i = 0; i < easies.size(); ++i) {
      curl_multi_remove_handle(multi, easies[i]);
      benchmark::DoNotOptimize(codecs::objectFromJSONString(bodies[i]));
    }
    return ok;
  }
};

void runCurl(benchmark::State& state, int inFlight) {
  const std::size_t connectionsBefore = server().connectionCount();
  CurlBaseline baseline(inFlight);
  std::int64_t requests = 0;
  for (auto _ : state) {
    if (!baseline.runOnce()) state.SkipWithError("request failed");
    requests += inFlight;
  }
  state.counters["requests/s"] =
      benchmark::Counter(static_cast<double>(requests), benchmark::Counter::kIsRate);
  countConnections(state, connectionsBefore);
}

void BM_NKHTTPClient_Latency(benchmark::State& state) { runClient(state, 1); }
void BM_CurlMulti_Latency(benchmark::State& state) { runCurl(state, 1); }
void BM_URLConnection_Latency(benchmark::State& state) { runConnection(state, 1); }
void BM_NKHTTPClient_Throughput16(benchmark::State& state) { runClient(state, kInFlight); }
void BM_URLConnection_Throughput16(benchmark::State& state) { runConnection(state, kInFlight); }
void BM_CurlMulti_Throughput16(benchmark::State& state) { runCurl(state, kInFlight); }

BENCHMARK(BM_NKHTTPClient_Latency)->UseRealTime();
BENCHMARK(BM_CurlMulti_Latency)->UseRealTime();
BENCHMARK(BM_URLConnection_Latency)->UseRealTime();
BENCHMARK(BM_NKHTTPClient_Throughput16)->UseRealTime();
BENCHMARK(BM_CurlMulti_Throughput16)->UseRealTime();
BENCHMARK(BM_URLConnection_Throughput16)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
