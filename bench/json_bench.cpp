// Decode and encode throughput of the JSON codec against RapidJSON (DOM) and
// nlohmann::json on the same inputs: a login reply of the account service
// with many accounts, cities and servers, a generated mixed document of
// over 1 MB (escapes, non-ASCII text, big and negative integers, reals,
// deep and wide nesting), and a short reply of a few hundred bytes, where
// the cost of setting up a decoder per document shows.
//
// Generated documents of other real-world shapes, so that no single file
// decides: many distinct short strings (a catalogue of names and codes),
// deep nesting of an API description (paths, operations, parameters and
// schemas with nested properties), wide arrays of numbers (series of
// samples), and policy documents (statements with actions, resources and
// conditions).
//
// And a reply of 1 MiB (the account API's limit) whose object keys were
// chosen to collide under the codec's former public key hash, against a
// plain reply of the same size and key length: the two must cost about the
// same.
#include <benchmark/benchmark.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "codecs/json_decoder.h"
#include "codecs/json_encoder.h"
#include "support/colliding_keys.h"

namespace {

std::string pem(std::mt19937_64& rng, int lines) {
  static constexpr char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string s = "-----BEGIN CERTIFICATE-----\\n";
  for (int l = 0; l < lines; ++l) {
    for (int i = 0; i < 64; ++i) s.push_back(kB64[rng() % 64]);
    s += "\\n";
  }
  return s + "-----END CERTIFICATE-----\\n";
}

// A login reply: account information plus "open" and "pptp" accounts, each
// with its certificates and a list of cities with servers.
const std::string& loginReply() {
  static const std::string text = [] {
    std::mt19937_64 rng(42);
    static const char* kCities[] = {"Amsterdam", "Zürich", "New York",  "São Paulo", "Tokyo",
                                    "London",    "Paris",  "Frankfurt", "Toronto",   "Sydney"};
    static const char* kCountries[] = {"NL", "CH", "US", "BR", "JP", "GB", "FR", "DE", "CA", "AU"};
    std::string s = R"({"success":true,"api_key":"3f2a9c0d7b1e4f5a8c6d2e0b9a7f1c3d",)"
                    R"("user":{"id":981234,"email":"user@example.com","news":"Welcome back!\nNew )"
                    R"(servers in \"Zürich\" and São Paulo.","credit":12.75},)";
    for (const char* family : {"open", "pptp"}) {
      s += "\"" + std::string(family) + "\":[";
      for (int a = 0; a < 40; ++a) {
        if (a) s += ",";
        s += R"({"id":)" + std::to_string(100000 + a) + R"(,"user_id":981234,"plan_id":)" +
             std::to_string(131 + a % 3) + R"(,"plan_name":"Premium VPN","notes":"note )" +
             std::to_string(a) + R"(","prefix":"nl)" + std::to_string(a) +
             R"(","active":true,"assigned":"10.8.)" + std::to_string(a) + R"(.1","city":")" +
             kCities[a % 10] + R"(","country":")" + kCountries[a % 10] + R"(",)";
        if (std::string(family) == "open") {
          s += R"("auth":"SHA256","auth_user_pass":"u:p","cipher":"AES-256-CBC","fragment":0,)"
               R"("lzo":false,"mss":1400,"name":"server","port":1194,"proxy_ip":"","proxy_port":0,)"
               R"("remote":"vpn.example.com","tls":"","tun_mtu":1500,"udp":true,"scramble":"",)"
               R"("scramble_word":"","ipsec_hostname":"ipsec.example.com","ipsec_username":"u",)";
          s += "\"ca\":\"" + pem(rng, 20) + "\",\"cert\":\"" + pem(rng, 24) + "\",\"key\":\"" +
               pem(rng, 26) + "\",\"shared_key\":\"" + pem(rng, 8) + "\",";
        }
        s += R"("cities":[)";
        for (int c = 0; c < 10; ++c) {
          if (c) s += ",";
          s += R"({"city":")" + std::string(kCities[c]) + R"(","country":")" + kCountries[c] +
               R"(","country_code":")" + kCountries[c] + R"(","servers":[)";
          for (int v = 0; v < 6; ++v) {
            if (v) s += ",";
            s += R"({"name":"s)" + std::to_string(c * 100 + v) + R"(.example.com","ip":"185.)" +
                 std::to_string(rng() % 256) + "." + std::to_string(rng() % 256) + "." +
                 std::to_string(rng() % 256) + R"(","load":)" + std::to_string(rng() % 100) +
                 R"(,"ping":)" + std::to_string(static_cast<double>(rng() % 100000) / 1000.0) +
                 R"(,"online":true})";
          }
          s += "]}";
        }
        s += "]}";
      }
      s += "],";
    }
    s += R"("version":4})";
    return s;
  }();
  return text;
}

// A generated mixed document of at least 1 MB.
const std::string& mixedDocument() {
  static const std::string text = [] {
    std::mt19937_64 rng(7);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    std::function<void(std::string&, int)> value = [&](std::string& s, int depth) {
      const int kind = depth > 5 ? pick(0, 5) : pick(0, 7);
      switch (kind) {
        case 0:
          s += std::to_string(static_cast<std::int64_t>(rng()));
          break;
        case 1: {
          char buf[32];
          std::snprintf(buf, sizeof buf, "%.17g",
                        std::ldexp(static_cast<double>(rng() % 1000000), pick(-40, 40)));
          s += buf;
          break;
        }
        case 2:
          s += pick(0, 1) ? "true" : "false";
          break;
        case 3:
          s += "null";
          break;
        case 4:
          s += "\"plain ascii text " + std::to_string(rng() % 1000) + "\"";
          break;
        case 5:
          s += R"("esc \"q\" \\ \/ \t\n tab é ü 😀 \u00e9 \ud83d\ude00 )" +
               std::to_string(rng() % 100) + "\"";
          break;
        case 6: {
          s += "[";
          const int n = pick(0, 12);
          for (int i = 0; i < n; ++i) {
            if (i) s += ",";
            value(s, depth + 1);
          }
          s += "]";
          break;
        }
        default: {
          s += "{";
          const int n = pick(0, 10);
          for (int i = 0; i < n; ++i) {
            if (i) s += ",";
            s += "\"key" + std::to_string(pick(0, 40)) + "_" + std::to_string(i) + "\":";
            value(s, depth + 1);
          }
          s += "}";
        }
      }
    };
    std::string s = "[";
    bool first = true;
    while (s.size() < 1200 * 1024) {
      if (!first) s += ",";
      first = false;
      value(s, 0);
    }
    s += "]";
    return s;
  }();
  return text;
}

// A short reply, as most account-service calls get.
const std::string& shortReply() {
  static const std::string text =
      R"({"success":true,"message":"Password changed.","user":{"id":981234,)"
      R"("email":"user@example.com","credit":12.75,"plan":"Premium VPN","active":true,)"
      R"("expires":"2027-01-31T00:00:00Z"},"servers_online":412,"notices":[]})";
  return text;
}

std::string randomWord(std::mt19937_64& rng, int minLength, int maxLength) {
  static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz";
  const int n = minLength + static_cast<int>(rng() % (maxLength - minLength + 1));
  std::string w;
  for (int i = 0; i < n; ++i) w.push_back(kLetters[rng() % 26]);
  return w;
}

// A catalogue: many records of short strings, nearly all of them distinct.
const std::string& distinctStrings() {
  static const std::string text = [] {
    std::mt19937_64 rng(11);
    std::string s = R"({"items":[)";
    for (int i = 0; s.size() < 800 * 1024; ++i) {
      if (i) s += ",";
      s += R"({"id":")" + randomWord(rng, 6, 10) + std::to_string(i) + R"(","name":")" +
           randomWord(rng, 3, 9) + " " + randomWord(rng, 4, 12) + R"(","code":")" +
           randomWord(rng, 2, 3) + "-" + std::to_string(rng() % 100000) + R"(","tags":[")" +
           randomWord(rng, 3, 8) + R"(",")" + randomWord(rng, 3, 8) + R"("],"region":")" +
           randomWord(rng, 4, 7) + R"("})";
    }
    return s + "]}";
  }();
  return text;
}

// An API description: paths with operations, parameters and schemas whose
// properties nest objects in objects, with the same keys over and over.
const std::string& apiDescription() {
  static const std::string text = [] {
    std::mt19937_64 rng(13);
    std::function<void(std::string&, int)> schema = [&](std::string& s, int depth) {
      const int kind = depth >= 7 ? static_cast<int>(rng() % 3) : static_cast<int>(rng() % 5);
      static const char* kTypes[] = {"string", "integer", "boolean"};
      if (kind < 3) {
        s += R"({"type":")" + std::string(kTypes[kind]) + R"(","description":"The )" +
             randomWord(rng, 3, 10) + R"( of the resource.")";
        if (kind == 0 && rng() % 2) s += R"(,"format":"date-time")";
        if (kind == 1) s += R"(,"minimum":0,"maximum":)" + std::to_string(rng() % 100000);
        s += "}";
      } else if (kind == 3) {
        s += R"({"type":"array","items":)";
        schema(s, depth + 1);
        s += "}";
      } else {
        s += R"({"type":"object","required":[")" + randomWord(rng, 3, 8) + R"("],"properties":{)";
        const int n = 2 + static_cast<int>(rng() % 5);
        for (int i = 0; i < n; ++i) {
          if (i) s += ",";
          s += "\"" + randomWord(rng, 3, 12) + "\":";
          schema(s, depth + 1);
        }
        s += "}}";
      }
    };
    std::string s = R"({"openapi":"3.0.3","info":{"title":"Service","version":"1.0"},"paths":{)";
    static const char* kMethods[] = {"get", "post", "put", "delete"};
    for (int p = 0; s.size() < 900 * 1024; ++p) {
      if (p) s += ",";
      s += "\"/v1/" + randomWord(rng, 4, 9) + "/{id}/" + randomWord(rng, 4, 9) + "\":{";
      const int methods = 1 + static_cast<int>(rng() % 4);
      for (int m = 0; m < methods; ++m) {
        if (m) s += ",";
        s +=
            "\"" + std::string(kMethods[m]) + R"(":{"operationId":")" + randomWord(rng, 6, 14) +
            R"(","tags":[")" + randomWord(rng, 4, 8) +
            R"("],"parameters":[{"name":"id","in":"path",)"
            R"("required":true,"schema":{"type":"string"}}],"responses":{"200":{"description":"OK",)"
            R"("content":{"application/json":{"schema":)";
        schema(s, 0);
        s += R"(}}},"404":{"description":"Not found"}}})";
      }
      s += "}";
    }
    return s + "}}";
  }();
  return text;
}

// Series of samples: wide arrays of integers and reals.
const std::string& numberArrays() {
  static const std::string text = [] {
    std::mt19937_64 rng(17);
    std::string s = R"({"series":[)";
    char buf[32];
    for (int r = 0; s.size() < 1000 * 1024; ++r) {
      if (r) s += ",";
      s += R"({"t0":)" + std::to_string(1700000000 + r * 60) + R"(,"values":[)";
      for (int i = 0; i < 500; ++i) {
        if (i) s += ",";
        if (r % 2) {
          s += std::to_string(static_cast<std::int64_t>(rng() % 2000000) - 1000000);
        } else {
          std::snprintf(buf, sizeof buf, "%.6g", static_cast<double>(rng() % 10000000) / 1000.0);
          s += buf;
        }
      }
      s += "]}";
    }
    return s + "]}";
  }();
  return text;
}

// Policy documents: statements of actions, resources and conditions.
const std::string& policyDocuments() {
  static const std::string text = [] {
    std::mt19937_64 rng(19);
    static const char* kServices[] = {"storage", "compute", "queue", "directory", "keys"};
    static const char* kVerbs[] = {"Get", "Put", "List", "Delete", "Describe", "Create"};
    std::string s = R"({"policies":[)";
    for (int p = 0; s.size() < 800 * 1024; ++p) {
      if (p) s += ",";
      s += R"({"Version":"2012-10-17","Id":"policy-)" + std::to_string(p) + R"(","Statement":[)";
      const int statements = 1 + static_cast<int>(rng() % 4);
      for (int t = 0; t < statements; ++t) {
        if (t) s += ",";
        const char* service = kServices[rng() % 5];
        s += R"({"Sid":"S)" + std::to_string(p) + "x" + std::to_string(t) + R"(","Effect":")" +
             (rng() % 4 ? "Allow" : "Deny") + R"(","Principal":{"Account":[")" +
             std::to_string(100000000000 + rng() % 900000000000) + R"("]},"Action":[)";
        const int actions = 1 + static_cast<int>(rng() % 6);
        for (int a = 0; a < actions; ++a) {
          if (a) s += ",";
          s += "\"" + std::string(service) + ":" + kVerbs[rng() % 6] + randomWord(rng, 0, 8) + "\"";
        }
        s += R"(],"Resource":[")" + std::string("urn:") + service +
             ":eu-west-1:" + std::to_string(100000000000 + rng() % 900000000000) + ":" +
             randomWord(rng, 4, 10) + R"(/*"],"Condition":{"StringEquals":{")" + service +
             R"(:ResourceTag/team":")" + randomWord(rng, 3, 8) +
             R"("},"Bool":{"transport:Secure":"true"}}})";
      }
      s += "]}";
    }
    return s + "]}";
  }();
  return text;
}

const std::string& input(int which) {
  switch (which) {
    case 0:
      return loginReply();
    case 1:
      return mixedDocument();
    case 3:
      return distinctStrings();
    case 4:
      return apiDescription();
    case 5:
      return numberArrays();
    case 6:
      return policyDocuments();
    default:
      return shortReply();
  }
}
const char* inputName(int which) {
  static const char* kNames[] = {"login_reply",      "mixed_1MB",       "short_reply",
                                 "distinct_strings", "api_description", "number_arrays",
                                 "policy_documents"};
  return kNames[which];
}

void DecodeOurs(benchmark::State& state) {
  const std::string& text = input(static_cast<int>(state.range(0)));
  codecs::JSONDecoder decoder;
  for (auto _ : state) {
    platform::Value v = decoder.objectWithUTF8String(text.data(), text.size());
    if (v.isNone()) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(v);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
  state.SetLabel(inputName(static_cast<int>(state.range(0))));
}

void DecodeOursFreshDecoder(benchmark::State& state) {
  const std::string& text = input(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    platform::Value v = codecs::objectFromJSONString(text);
    if (v.isNone()) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(v);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
  state.SetLabel(inputName(static_cast<int>(state.range(0))));
}

void DecodeRapidJSON(benchmark::State& state) {
  const std::string& text = input(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    rapidjson::Document d;
    d.Parse(text.data(), text.size());
    if (d.HasParseError()) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(d);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
  state.SetLabel(inputName(static_cast<int>(state.range(0))));
}

void DecodeNlohmann(benchmark::State& state) {
  const std::string& text = input(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    nlohmann::json j = nlohmann::json::parse(text);
    benchmark::DoNotOptimize(j);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
  state.SetLabel(inputName(static_cast<int>(state.range(0))));
}

void EncodeOurs(benchmark::State& state) {
  const std::string& text = input(static_cast<int>(state.range(0)));
  platform::Value v = codecs::objectFromJSONString(text);
  std::size_t bytes = 0;
  for (auto _ : state) {
    platform::Value out = codecs::JSONData(v);
    if (out.isNone()) state.SkipWithError("encode failed");
    bytes += out.asData().size();
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
  state.SetLabel(inputName(static_cast<int>(state.range(0))));
}

void EncodeRapidJSON(benchmark::State& state) {
  const std::string& text = input(static_cast<int>(state.range(0)));
  rapidjson::Document d;
  d.Parse(text.data(), text.size());
  std::size_t bytes = 0;
  for (auto _ : state) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    d.Accept(writer);
    bytes += buffer.GetSize();
    benchmark::DoNotOptimize(buffer.GetString());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
  state.SetLabel(inputName(static_cast<int>(state.range(0))));
}

void EncodeNlohmann(benchmark::State& state) {
  const std::string& text = input(static_cast<int>(state.range(0)));
  nlohmann::json j = nlohmann::json::parse(text);
  std::size_t bytes = 0;
  for (auto _ : state) {
    std::string out = j.dump();
    bytes += out.size();
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
  state.SetLabel(inputName(static_cast<int>(state.range(0))));
}

// On a shared, loaded machine the fastest repetition is the steadiest
// figure; run with --benchmark_repetitions=N to get it beside the median.
double fastest(const std::vector<double>& v) {
  return v.empty() ? 0 : *std::min_element(v.begin(), v.end());
}

#define JSON_BENCH(fn)                     \
  BENCHMARK(fn)                            \
      ->Arg(0)                             \
      ->Arg(1)                             \
      ->Arg(3)                             \
      ->Arg(4)                             \
      ->Arg(5)                             \
      ->Arg(6)                             \
      ->Unit(benchmark::kMillisecond)      \
      ->ComputeStatistics("min", fastest); \
  BENCHMARK(fn)->Arg(2)->Unit(benchmark::kMicrosecond)->ComputeStatistics("min", fastest)

JSON_BENCH(DecodeOurs);
JSON_BENCH(DecodeOursFreshDecoder);
JSON_BENCH(DecodeRapidJSON);
JSON_BENCH(DecodeNlohmann);
JSON_BENCH(EncodeOurs);
JSON_BENCH(EncodeRapidJSON);
JSON_BENCH(EncodeNlohmann);

// One object of as many `keys` (each with a small integer) as fit in 1 MiB.
std::string mebibyteObject(const std::vector<std::string>& keys) {
  std::string s = "{";
  for (std::size_t i = 0; i < keys.size(); ++i) {
    const std::string entry = (i > 0 ? "," : "") + ("\"" + keys[i] + "\":" + std::to_string(i));
    if (s.size() + entry.size() + 1 > (1u << 20)) break;
    s += entry;
  }
  return s + "}";
}

void DecodeMebibyteOfKeys(benchmark::State& state) {
  static const std::vector<std::string> chosen =
      varnel::testing::keysThatCollideInPublicJSONHash(60000);
  static const std::string colliding = mebibyteObject(chosen);
  static const std::string plain = [] {
    std::vector<std::string> keys;
    for (std::size_t i = 0; i < chosen.size(); ++i) {
      std::string key = "k" + std::to_string(i);
      key.insert(1, chosen.front().size() - key.size(), '0');
      keys.push_back(key);
    }
    return mebibyteObject(keys);
  }();
  const std::string& text = state.range(0) == 0 ? plain : colliding;
  codecs::JSONDecoder decoder;
  for (auto _ : state) {
    platform::Value v = decoder.objectWithUTF8String(text.data(), text.size());
    if (v.isNone()) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(v);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
  state.SetLabel(state.range(0) == 0 ? "plain keys" : "keys colliding in the public hash");
}
BENCHMARK(DecodeMebibyteOfKeys)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
