// Decode and encode of real JSON files that this project did not write,
// against RapidJSON (DOM parse, Writer) and nlohmann::json, on the same text.
//
// The files are read from where their Debian packages put them (nothing is
// copied into the repository); each is found by a glob at run time, so no
// version or architecture is pinned (where several match, the last in
// sorted order is taken). A file that is missing is left out with a note on
// stderr. scripts/install-deps.sh installs every package below: iso-codes,
// node-mdn-data and node-iconv-lite only as inputs of this benchmark, the
// others for the build. They come from different producers and have
// different shapes:
//   vk_validusage   libvulkan-dev   /usr/share/vulkan/registry/validusage.json
//                   (6 MB: deep objects of arrays of small objects with long
//                   text, many one-element arrays)
//   vk_profile      libvulkan-dev   /usr/share/vulkan/registry/profiles/
//                   VP_KHR_roadmap_*.json (nested objects of booleans and
//                   numbers, four-space indentation)
//   qt_metatypes    qt6-base-dev    /usr/lib/*/metatypes/qt6widgets_*.json
//                   (arrays of objects with many booleans and short strings)
//   cmake_schema    cmake-data      /usr/share/cmake-*/Help/manual/presets/
//                   schema.json (a JSON schema: deep nesting, many empty {})
//   cmake_flags     cmake-data      /usr/share/cmake-*/Templates/MSBuild/
//                   FlagTables/v14*_CL.json (flat objects, many empty [])
//   iso_639_3       iso-codes       /usr/share/iso-codes/json/iso_639-3.json
//                   (thousands of flat objects of short strings)
//   iso_3166_2      iso-codes       /usr/share/iso-codes/json/iso_3166-2.json
//   iso_4217        iso-codes       /usr/share/iso-codes/json/iso_4217.json
//                   (small: the cost per document shows)
//   mdn_properties  node-mdn-data   /usr/share/nodejs/mdn-data/css/
//                   properties.json (objects of short strings and booleans,
//                   hundreds of one-element ["x"] arrays)
//   mdn_inheritance node-mdn-data   /usr/share/nodejs/mdn-data/api/
//                   inheritance.json (hundreds of two-key objects, most with
//                   an empty [], nulls)
//   mdn_l10n        node-mdn-data   /usr/share/nodejs/mdn-data/l10n/css.json
//                   (flat objects of text in several scripts, escaped quotes)
//   iconv_cp936     node-iconv-lite /usr/share/nodejs/iconv-lite/encodings/
//                   tables/cp936.json (one line per small mixed array of
//                   numbers and CJK strings)
//
// Each file is benchmarked in two variants: "pretty" (the file's own text
// where it is pretty-printed already, otherwise made from its parsed tree
// with a newline and two spaces of indentation per level between tokens)
// and "compact" (made from the tree, key order kept, no white space at
// all). Decode reads the variant's text; encode writes the tree compact
// (JSONString against Writer and dump()) and pretty (with the pretty option
// against PrettyWriter and dump(2)).
//
// Work per iteration: every side starts from nothing for each document, as
// the product does. Ours decodes with codecs::objectFromJSONString (a new
// JSONDecoder per call, so the leaf cache starts empty; it is what every
// caller in the tree uses), RapidJSON parses into a new Document, nlohmann
// into a new json; the tree is freed before the next iteration on every
// side. Encoding writes into a new buffer per iteration on every side.
//
// The machine these run on is shared: compare rows of one run, with
// repetitions interleaved, e.g.
//   json_corpus_bench --benchmark_repetitions=5
//     --benchmark_enable_random_interleaving=true
// and take the medians (bench/json_corpus_ratios.py prints ours/theirs),
// or, steadier on a loaded machine, run with --ratios (see runRatios).
// VARNEL_JSON_CORPUS adds files: a colon-separated list of paths.
#include <benchmark/benchmark.h>
#include <glob.h>
#include <rapidjson/document.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "codecs/json_decoder.h"
#include "codecs/json_encoder.h"

namespace {

struct CorpusFile {
  std::string name;
  std::string package;
  std::vector<std::string> patterns;  // globs, tried in order
};

const std::vector<CorpusFile>& corpusFiles() {
  static const std::vector<CorpusFile> files = [] {
    std::vector<CorpusFile> list = {
        {"vk_validusage", "libvulkan-dev", {"/usr/share/vulkan/registry/validusage.json"}},
        {"vk_profile",
         "libvulkan-dev",
         {"/usr/share/vulkan/registry/profiles/VP_KHR_roadmap_*.json"}},
        {"qt_metatypes", "qt6-base-dev", {"/usr/lib/*/metatypes/qt6widgets_*metatypes.json"}},
        {"cmake_schema", "cmake-data", {"/usr/share/cmake-*/Help/manual/presets/schema.json"}},
        {"cmake_flags",
         "cmake-data",
         {"/usr/share/cmake-*/Templates/MSBuild/FlagTables/v14*_CL.json"}},
        {"iso_639_3", "iso-codes", {"/usr/share/iso-codes/json/iso_639-3.json"}},
        {"iso_3166_2", "iso-codes", {"/usr/share/iso-codes/json/iso_3166-2.json"}},
        {"iso_4217", "iso-codes", {"/usr/share/iso-codes/json/iso_4217.json"}},
        {"mdn_properties",
         "node-mdn-data",
         {"/usr/share/nodejs/mdn-data/css/properties.json",
          "/usr/lib/nodejs/mdn-data/css/properties.json"}},
        {"mdn_inheritance",
         "node-mdn-data",
         {"/usr/share/nodejs/mdn-data/api/inheritance.json",
          "/usr/lib/nodejs/mdn-data/api/inheritance.json"}},
        {"mdn_l10n",
         "node-mdn-data",
         {"/usr/share/nodejs/mdn-data/l10n/css.json", "/usr/lib/nodejs/mdn-data/l10n/css.json"}},
        {"iconv_cp936",
         "node-iconv-lite",
         {"/usr/share/nodejs/iconv-lite/encodings/tables/cp936.json",
          "/usr/lib/nodejs/iconv-lite/encodings/tables/cp936.json"}},
    };
    if (const char* extra = std::getenv("VARNEL_JSON_CORPUS")) {
      std::string all = extra;
      std::size_t start = 0;
      while (start <= all.size()) {
        std::size_t end = all.find(':', start);
        if (end == std::string::npos) end = all.size();
        std::string path = all.substr(start, end - start);
        if (!path.empty()) {
          std::string base = path.substr(path.find_last_of('/') + 1);
          list.push_back({"extra_" + base, "-", {path}});
        }
        start = end + 1;
      }
    }
    return list;
  }();
  return files;
}

// The file a corpus entry names on this machine: the last match of the
// first pattern that matches anything; empty when none does.
std::string findFile(const CorpusFile& file) {
  for (const std::string& pattern : file.patterns) {
    glob_t found{};
    std::string last;
    if (glob(pattern.c_str(), 0, nullptr, &found) == 0 && found.gl_pathc > 0) {
      last = found.gl_pathv[found.gl_pathc - 1];
    }
    globfree(&found);
    if (!last.empty()) return last;
  }
  return {};
}

// Pretty-printed text: a line break followed by indentation before the
// first few tokens.
bool isPrettyPrinted(const std::string& text) {
  const std::size_t at = text.find('\n');
  return at != std::string::npos && at < 256 && at + 1 < text.size() &&
         (text[at + 1] == ' ' || text[at + 1] == '\t');
}

// One variant of one file.
struct Input {
  std::string label;  // "<file>/<variant>"
  std::string text;
};

bool readFile(const std::string& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return static_cast<bool>(in) || in.eof();
}

// One document decoded as the product decodes one (a new decoder per call).
platform::Value decodeOnce(const std::string& text) { return codecs::objectFromJSONString(text); }

void decodeOurs(benchmark::State& state, const Input* input) {
  for (auto _ : state) {
    platform::Value v = decodeOnce(input->text);
    if (v.isNone()) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(v);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * input->text.size()));
}

void decodeRapidJSON(benchmark::State& state, const Input* input) {
  for (auto _ : state) {
    rapidjson::Document d;
    d.Parse(input->text.data(), input->text.size());
    if (d.HasParseError()) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(d);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * input->text.size()));
}

void decodeNlohmann(benchmark::State& state, const Input* input) {
  for (auto _ : state) {
    nlohmann::json j = nlohmann::json::parse(input->text);
    benchmark::DoNotOptimize(j);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * input->text.size()));
}

void encodeOurs(benchmark::State& state, const Input* input, bool pretty) {
  platform::Value tree = codecs::objectFromJSONString(input->text);
  if (tree.isNone()) {
    state.SkipWithError("parse failed");
    return;
  }
  const std::uint64_t options = pretty ? codecs::JTSerializeOptionPretty : 0;
  std::size_t bytes = 0;
  for (auto _ : state) {
    platform::Value out = codecs::JSONString(tree, options);
    if (out.isNone()) state.SkipWithError("encode failed");
    bytes += out.stringView().size();
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}

template <typename Writer>
void encodeRapidJSONWith(benchmark::State& state, const Input* input) {
  rapidjson::Document d;
  d.Parse(input->text.data(), input->text.size());
  std::size_t bytes = 0;
  for (auto _ : state) {
    rapidjson::StringBuffer buffer;
    Writer writer(buffer);
    if constexpr (std::is_same_v<Writer, rapidjson::PrettyWriter<rapidjson::StringBuffer>>) {
      writer.SetIndent(' ', 2);  // as ours
    }
    d.Accept(writer);
    bytes += buffer.GetSize();
    benchmark::DoNotOptimize(buffer.GetString());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}

void encodeRapidJSON(benchmark::State& state, const Input* input, bool pretty) {
  if (pretty) {
    encodeRapidJSONWith<rapidjson::PrettyWriter<rapidjson::StringBuffer>>(state, input);
  } else {
    encodeRapidJSONWith<rapidjson::Writer<rapidjson::StringBuffer>>(state, input);
  }
}

void encodeNlohmann(benchmark::State& state, const Input* input, bool pretty) {
  nlohmann::json j = nlohmann::json::parse(input->text);
  std::size_t bytes = 0;
  for (auto _ : state) {
    std::string out = pretty ? j.dump(2) : j.dump();
    bytes += out.size();
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}

// The inputs live as long as the program (the benchmarks point at them).
std::vector<Input>& inputs() {
  static std::vector<Input> all;
  return all;
}

void loadCorpus() {
  for (const CorpusFile& file : corpusFiles()) {
    const std::string path = findFile(file);
    std::string original;
    if (path.empty() || !readFile(path, original)) {
      std::fprintf(stderr, "json_corpus_bench: %s (%s) is missing, left out\n",
                   file.patterns.front().c_str(), file.package.c_str());
      continue;
    }
    nlohmann::ordered_json tree;
    try {
      tree = nlohmann::ordered_json::parse(original);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "json_corpus_bench: %s does not parse (%s), left out\n", path.c_str(),
                   e.what());
      continue;
    }
    const bool originalIsPretty = isPrettyPrinted(original);
    std::fprintf(stderr, "json_corpus_bench: %-15s %s (%zu bytes; pretty: %s)\n", file.name.c_str(),
                 path.c_str(), original.size(),
                 originalIsPretty ? "the file itself" : "made from its tree");
    inputs().push_back(
        {file.name + "/pretty", originalIsPretty ? std::move(original) : tree.dump(2)});
    inputs().push_back({file.name + "/compact", tree.dump()});
  }
}

void registerAll() {
  // Pointers into inputs() stay valid: the vector is complete before this.
  for (const Input& in : inputs()) {
    const Input* p = &in;
    const bool small = in.text.size() < 64 * 1024;
    const benchmark::TimeUnit unit = small ? benchmark::kMicrosecond : benchmark::kMillisecond;
    benchmark::RegisterBenchmark(("Decode/Ours/" + in.label).c_str(), decodeOurs, p)->Unit(unit);
    benchmark::RegisterBenchmark(("Decode/RapidJSON/" + in.label).c_str(), decodeRapidJSON, p)
        ->Unit(unit);
    benchmark::RegisterBenchmark(("Decode/Nlohmann/" + in.label).c_str(), decodeNlohmann, p)
        ->Unit(unit);
  }
  // Encode rows once per file (the tree is the same for both variants); the
  // compact text is the source of the tree.
  for (const Input& in : inputs()) {
    const std::string& label = in.label;
    const std::string suffix = "/compact";
    if (label.size() < suffix.size() ||
        label.compare(label.size() - suffix.size(), suffix.size(), suffix) != 0) {
      continue;
    }
    const std::string file = label.substr(0, label.size() - suffix.size());
    const Input* p = &in;
    const bool small = in.text.size() < 64 * 1024;
    const benchmark::TimeUnit unit = small ? benchmark::kMicrosecond : benchmark::kMillisecond;
    for (bool pretty : {false, true}) {
      const std::string shape = pretty ? "/pretty" : "/compact";
      benchmark::RegisterBenchmark(("Encode/Ours/" + file + shape).c_str(), encodeOurs, p, pretty)
          ->Unit(unit);
      benchmark::RegisterBenchmark(("Encode/RapidJSON/" + file + shape).c_str(), encodeRapidJSON, p,
                                   pretty)
          ->Unit(unit);
      benchmark::RegisterBenchmark(("Encode/Nlohmann/" + file + shape).c_str(), encodeNlohmann, p,
                                   pretty)
          ->Unit(unit);
    }
  }
}

// --ratios[=ROUNDS]: for each row, ROUNDS rounds (default 7) that each time
// ours, RapidJSON and nlohmann::json one after the other on the same input
// (each for about 30 ms); prints the median over the rounds of each
// baseline's time per run over ours (above 1.0: ours is faster). A load
// that changes during the run hits the three alike within a round.
using Clock = std::chrono::steady_clock;

// Seconds per call of `fn`, over at least `budget`.
template <typename Fn>
double timePerCall(Fn&& fn, std::chrono::milliseconds budget) {
  fn();  // warm
  std::size_t calls = 0;
  const Clock::time_point start = Clock::now();
  Clock::time_point now = start;
  do {
    fn();
    ++calls;
    now = Clock::now();
  } while (now - start < budget);
  return std::chrono::duration<double>(now - start).count() / static_cast<double>(calls);
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

int runRatios(int rounds) {
  const auto budget = std::chrono::milliseconds(30);
  // VARNEL_JSON_CORPUS_ONLY: only the rows whose name holds this text.
  const char* only = std::getenv("VARNEL_JSON_CORPUS_ONLY");
  std::printf("%-34s %10s %10s %14s\n", "row", "ours/run", "vs Rapid", "vs nlohmann");
  auto row = [&](const std::string& name, const std::function<void()>& ours,
                 const std::function<void()>& rapid, const std::function<void()>& nl) {
    if (only != nullptr && name.find(only) == std::string::npos) return;
    std::vector<double> oursTimes, rapidRatios, nlRatios;
    for (int r = 0; r < rounds; ++r) {
      const double o = timePerCall(ours, budget);
      const double rj = timePerCall(rapid, budget);
      const double n = timePerCall(nl, budget);
      oursTimes.push_back(o);
      rapidRatios.push_back(rj / o);
      nlRatios.push_back(n / o);
    }
    std::printf("%-34s %8.1fus %9.2fx %13.2fx\n", name.c_str(), median(oursTimes) * 1e6,
                median(rapidRatios), median(nlRatios));
    std::fflush(stdout);
  };
  for (const Input& in : inputs()) {
    const std::string& t = in.text;
    row(
        "decode " + in.label,
        [&] {
          platform::Value v = decodeOnce(t);
          benchmark::DoNotOptimize(v);
        },
        [&] {
          rapidjson::Document d;
          d.Parse(t.data(), t.size());
          benchmark::DoNotOptimize(d);
        },
        [&] {
          nlohmann::json j = nlohmann::json::parse(t);
          benchmark::DoNotOptimize(j);
        });
  }
  for (const Input& in : inputs()) {
    if (in.label.find("/compact") == std::string::npos) continue;
    const std::string file = in.label.substr(0, in.label.find('/'));
    platform::Value tree = codecs::objectFromJSONString(in.text);
    rapidjson::Document d;
    d.Parse(in.text.data(), in.text.size());
    nlohmann::json j = nlohmann::json::parse(in.text);
    for (bool pretty : {false, true}) {
      row(
          "encode " + file + (pretty ? "/pretty" : "/compact"),
          [&] {
            platform::Value out =
                codecs::JSONString(tree, pretty ? codecs::JTSerializeOptionPretty : 0);
            benchmark::DoNotOptimize(out);
          },
          [&] {
            rapidjson::StringBuffer buffer;
            if (pretty) {
              rapidjson::PrettyWriter<rapidjson::StringBuffer> writer(buffer);
              writer.SetIndent(' ', 2);
              d.Accept(writer);
            } else {
              rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
              d.Accept(writer);
            }
            benchmark::DoNotOptimize(buffer.GetString());
          },
          [&] {
            std::string out = pretty ? j.dump(2) : j.dump();
            benchmark::DoNotOptimize(out);
          });
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  loadCorpus();
  if (inputs().empty()) {
    std::fprintf(stderr, "json_corpus_bench: none of the corpus files is on this machine\n");
    return 1;
  }
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--ratios") return runRatios(7);
    if (arg.rfind("--ratios=", 0) == 0) return runRatios(std::max(1, std::atoi(arg.c_str() + 9)));
  }
  registerAll();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
