// NKHTTPClient GETs with JSON replies over keep-alive loopback, against a
// baseline of the same requests (same headers, same server) driven straight
// through libcurl's multi interface, with the same JSON parse of each body.
// The same loads through a bare URLConnection, without the operation layer,
// show which layer costs what.
//
// Latency: one request in flight at a time. Throughput: 16 in flight.
//
// HTTPS: a login-shaped chain (a POST of the login form, then three GETs, each
// sent when the one before has answered) against a TLS test server, with the
// client's certificate pinning on, against one libcurl easy handle that
// keeps its connection and verifies the server against the same CA.
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "codecs/json_decoder.h"
#include "net/http/http_client.h"
#include "net/http/json_request_operation.h"
#include "platform/dispatch/spin_budget.h"
#include "platform/runloop/run_loop.h"
#include "platform/urlloading/url_connection.h"
#include "support/http_test_server.h"
#include "support/test_certificates.h"

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

// --- HTTPS login chain ------------------------------------------------------

constexpr int kChainLength = 4;
const char* const kChainPaths[kChainLength] = {"login", "account", "servers", "news"};

struct TLSServer {
  test_support::TestIdentity ca = test_support::makeCertificateAuthority("Bench CA");
  test_support::TestIdentity leaf =
      test_support::makeLeafCertificate(ca, "localhost", {"localhost"}, {"127.0.0.1"});
  std::unique_ptr<test_support::HTTPTestServer> server = test_support::HTTPTestServer::startTLS(
      leaf.certificatePEM + ca.certificatePEM, leaf.privateKeyPEM);
  TLSServer() {
    for (const char* path : kChainPaths) {
      server->setReply(std::string("/") + path, test_support::HTTPReply::json(kReply));
    }
  }
};

TLSServer& tlsServer() {
  static TLSServer s;
  return s;
}

void BM_NKHTTPClient_HTTPSLoginChain(benchmark::State& state) {
  auto& tls = tlsServer();
  auto c = net::http::NKHTTPClient::create(platform::URL(tls.server->localhostURL("/")));
  c->setDefaultPinnedCertificates(net::http::NKPinnedCertificates::fromDER(
      std::vector<platform::Bytes>{tls.ca.certificateDER}));
  c->registerHTTPOperationClass(net::http::NKJSONRequestOperation::operationClass());
  c->setDefaultHeader("Accept", "application/json");
  c->setDefaultSSLPinningMode(2);  // certificate
  const std::size_t connectionsBefore = tls.server->connectionCount();
  const platform::Value form = platform::Value::dictionary(
      {{"username", platform::Value("user@example.com")}, {"password", platform::Value("pw")}});
  std::int64_t requests = 0;
  for (auto _ : state) {
    int step = 0;
    bool failed = false;
    std::function<void()> next = [&] {
      auto success = [&](const auto&, const platform::Value& json) {
        benchmark::DoNotOptimize(json);
        if (++step < kChainLength) next();
      };
      auto failure = [&](const auto&, const platform::Error&) {
        failed = true;
        step = kChainLength;
      };
      if (step == 0) {
        c->postPath(kChainPaths[0], form, success, failure);
      } else {
        c->getPath(kChainPaths[step], platform::Value(), success, failure);
      }
    };
    next();
    platform::runloop::RunLoop::main().runUntil([&] { return step == kChainLength; },
                                                std::chrono::seconds(30));
    if (failed) state.SkipWithError("request failed");
    requests += kChainLength;
  }
  state.counters["requests/s"] =
      benchmark::Counter(static_cast<double>(requests), benchmark::Counter::kIsRate);
  state.counters["connections"] =
      static_cast<double>(tls.server->connectionCount() - connectionsBefore);
}

// The baseline: one easy handle that keeps its connection (and its TLS
// session), verifying the server against the test CA, the same headers and
// form, and the same JSON parse of each body.
void BM_Curl_HTTPSLoginChain(benchmark::State& state) {
  auto& tls = tlsServer();
  CURL* easy = curl_easy_init();
  std::string body;
  curl_slist* headers = clientHeaders();
  curl_blob ca{tls.ca.certificatePEM.data(), tls.ca.certificatePEM.size(), CURL_BLOB_COPY};
  curl_easy_setopt(easy, CURLOPT_CAINFO_BLOB, &ca);
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &CurlBaseline::write);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &body);
  std::vector<std::string> urls;
  for (const char* path : kChainPaths) urls.push_back(tls.server->localhostURL("/") + path);
  const std::size_t connectionsBefore = tls.server->connectionCount();
  std::int64_t requests = 0;
  for (auto _ : state) {
    for (int i = 0; i < kChainLength; ++i) {
      body.clear();
      curl_easy_setopt(easy, CURLOPT_URL, urls[i].c_str());
      if (i == 0) {
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, "password=pw&username=user%40example.com");
      } else {
        curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
      }
      if (curl_easy_perform(easy) != CURLE_OK) state.SkipWithError("request failed");
      benchmark::DoNotOptimize(codecs::objectFromJSONString(body));
    }
    requests += kChainLength;
  }
  state.counters["requests/s"] =
      benchmark::Counter(static_cast<double>(requests), benchmark::Counter::kIsRate);
  state.counters["connections"] =
      static_cast<double>(tls.server->connectionCount() - connectionsBefore);
  curl_easy_cleanup(easy);
  curl_slist_free_all(headers);
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
BENCHMARK(BM_NKHTTPClient_HTTPSLoginChain)->UseRealTime();
BENCHMARK(BM_Curl_HTTPSLoginChain)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
