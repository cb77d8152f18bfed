// The parser core alone, in bytes per second, next to the least work any
// such parser must do: find every `<` and copy the text between them out
// (memchr + memcpy). The corpora are the files inputs/corpora.py writes; the
// hostile families come from inputs/hostile_inputs.h.
//
//   python -m inputs.corpora --write build/bench-corpora --sizes 65536,1048576,16777216
//   tagmire_core_bench --corpus_dir=build/bench-corpora/seed...-v... [--corpus_sizes=65536,1048576]
//                      [--hostile_bytes=1048576]
//                      [--benchmark_filter=...]   (any Google Benchmark flag)
//   tagmire_core_bench --hostile_digest=4096   (name, size, CRC-32 and configuration of each
//                                               hostile input, as `hostile_families.py --digest`
//                                               prints them)
//   tagmire_core_bench --rows_file=rows.bin    (rows separated by NUL bytes, each parsed on its
//                                               own: the rows bench/batch.py hands parse_batch)
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include "hostile_inputs.h"
#include "parser/parse.h"

namespace {

// Inputs live for the whole run; the benchmarks hold views of them.
std::vector<std::unique_ptr<std::string>> inputs;

const std::string& keep(std::string s) { return *inputs.emplace_back(std::make_unique<std::string>(std::move(s))); }

// The parse the Python module runs: segments kept as cuts into the text.
void parse_default(benchmark::State& state, const std::string* input) {
  for (auto _ : state) {
    types::CompactResult result = parser::parse_compact(*input);
    benchmark::DoNotOptimize(result);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * input->size()));
}

void parse_with(benchmark::State& state, const std::string* input, const types::ParserConfig* config) {
  for (auto _ : state) {
    types::CompactResult result = parser::parse_compact(*input, *config);
    benchmark::DoNotOptimize(result);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * input->size()));
}

// A different piece of text at each iteration, in turn: the same input
// parsed again and again lets the processor learn its branches, which no
// answer a user parses allows once it is larger than a few hundred bytes.
void parse_unseen(benchmark::State& state, const std::vector<std::string_view>* pieces) {
  std::size_t next = 0;
  std::size_t bytes = 0;
  for (auto _ : state) {
    const std::string_view piece = (*pieces)[next];
    next = next + 1 == pieces->size() ? 0 : next + 1;
    bytes += piece.size();
    types::CompactResult result = parser::parse_compact(piece);
    benchmark::DoNotOptimize(result);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}

// Each row parsed on its own, as a batch parses it: bytes of all rows per second.
void parse_rows(benchmark::State& state, const std::vector<std::string_view>* rows) {
  std::size_t bytes = 0;
  for (const std::string_view row : *rows) bytes += row.size();
  for (auto _ : state) {
    for (const std::string_view row : *rows) {
      types::CompactResult result = parser::parse_compact(row);
      benchmark::DoNotOptimize(result);
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}

// Every `<` found with memchr, the text between copied out with memcpy into a
// buffer of the input's size, allocated per run as a parser's output is.
void memchr_memcpy(benchmark::State& state, const std::string* input) {
  const char* const begin = input->data();
  const char* const end = begin + input->size();
  for (auto _ : state) {
    std::unique_ptr<char[]> out(new char[input->size()]);
    char* o = out.get();
    for (const char* p = begin; p < end;) {
      const char* lt = static_cast<const char*>(std::memchr(p, '<', static_cast<std::size_t>(end - p)));
      const char* stop = lt ? lt : end;
      std::memcpy(o, p, static_cast<std::size_t>(stop - p));
      o += stop - p;
      p = stop + 1;
    }
    benchmark::DoNotOptimize(o);
    benchmark::DoNotOptimize(out.get());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * input->size()));
}

// Reads `--name=value` out of argv (left there by benchmark::Initialize).
const char* flag(int argc, char** argv, const char* name) {
  const std::size_t n = std::strlen(name);
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--", 2) == 0 && std::strncmp(argv[i] + 2, name, n) == 0 && argv[i][2 + n] == '=') {
      return argv[i] + 3 + n;
    }
  }
  return nullptr;
}

// At least 16 pieces of about `size` bytes, and at least 1 MB of them,
// taken in order from `text` and cut where a character begins; fewer when
// the text is too short for that.
std::vector<std::string_view> pieces_of(std::string_view text, std::size_t size) {
  constexpr std::size_t kDistinctBytes = 1 << 20;
  const std::size_t count = std::max<std::size_t>(16, kDistinctBytes / size);
  std::vector<std::string_view> pieces;
  for (std::size_t at = 0; pieces.size() < count && at + size <= text.size();) {
    std::size_t end = at + size;
    while (end < text.size() && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) ++end;
    pieces.push_back(text.substr(at, end - at));
    at = end;
  }
  return pieces;
}

// `{corpus}_{bytes}.txt` files, smallest first within each corpus; only the
// sizes listed in `sizes` (comma-separated) when it is given. Sizes from
// 4 KB to below 1 MB are also parsed as distinct pieces of the corpus's
// largest file.
void register_corpora(const std::filesystem::path& dir, const char* sizes) {
  const std::regex pattern(R"(([a-z0-9-]+)_([0-9]+)\.txt)");
  std::vector<std::pair<std::string, std::uint64_t>> found;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    std::smatch m;
    const std::string file = entry.path().filename().string();
    if (!std::regex_match(file, m, pattern)) continue;
    if (sizes != nullptr && ("," + std::string(sizes) + ",").find("," + m[2].str() + ",") == std::string::npos) continue;
    found.emplace_back(m[1].str(), std::stoull(m[2].str()));
  }
  const auto rank = [](const std::string& corpus) {
    return corpus.starts_with("llm") ? 0 : corpus == "plain" ? 1 : 2;
  };
  std::sort(found.begin(), found.end(), [&](const auto& a, const auto& b) {
    return rank(a.first) != rank(b.first) ? rank(a.first) < rank(b.first) : a < b;
  });
  std::map<std::string, const std::string*> largest;  // the found are sorted smallest first
  for (const auto& [corpus, bytes] : found) {
    std::ifstream in(dir / (corpus + "_" + std::to_string(bytes) + ".txt"), std::ios::binary);
    const std::string& input = keep(std::string(std::istreambuf_iterator<char>(in), {}));
    largest[corpus] = &input;
    const std::string suffix = corpus + "/" + std::to_string(bytes);
    benchmark::RegisterBenchmark(("parse/" + suffix).c_str(), parse_default, &input);
    benchmark::RegisterBenchmark(("memchr_memcpy/" + suffix).c_str(), memchr_memcpy, &input);
  }
  static std::vector<std::vector<std::string_view>> piece_sets;
  piece_sets.reserve(found.size());
  for (const auto& [corpus, bytes] : found) {
    // The shortest files are whole short answers, which cut pieces are not;
    // from 1 MB up one input is already too large to learn.
    if (bytes < 4096 || bytes >= (1u << 20)) continue;
    std::vector<std::string_view> pieces = pieces_of(*largest[corpus], bytes);
    if (pieces.size() < 16) continue;
    benchmark::RegisterBenchmark(("parse_unseen/" + corpus + "/" + std::to_string(bytes)).c_str(), parse_unseen,
                                 &piece_sets.emplace_back(std::move(pieces)));
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (const char* digest = flag(argc, argv, "hostile_digest")) {
    for (const auto& family : bench::hostile_families()) {
      const std::string input = family.make(std::strtoull(digest, nullptr, 10));
      std::printf("%s %zu %08x %s\n", family.name, input.size(), bench::crc32(input),
                  bench::describe(family.config).c_str());
    }
    return 0;
  }
  // Keep freed memory in the process between runs, so that each run pays for
  // its work and not for the kernel mapping fresh pages again (the same for
  // the parser and for memchr + memcpy).
  mallopt(M_MMAP_THRESHOLD, 1 << 30);
  mallopt(M_TRIM_THRESHOLD, -1);

  const char* dir = flag(argc, argv, "corpus_dir");
  if (dir != nullptr) register_corpora(dir, flag(argc, argv, "corpus_sizes"));

  if (const char* rows_file = flag(argc, argv, "rows_file")) {
    std::ifstream in(rows_file, std::ios::binary);
    const std::string& all = keep(std::string(std::istreambuf_iterator<char>(in), {}));
    static std::vector<std::string_view> rows;
    for (std::size_t at = 0; at < all.size();) {
      const std::size_t end = std::min(all.find('\0', at), all.size());
      rows.push_back(std::string_view(all).substr(at, end - at));
      at = end + 1;
    }
    benchmark::RegisterBenchmark("parse_rows", parse_rows, &rows);
  }

  const char* hostile = flag(argc, argv, "hostile_bytes");
  const std::size_t hostile_bytes = hostile ? std::strtoull(hostile, nullptr, 10) : 1 << 20;
  static std::vector<types::ParserConfig> configs;
  const auto families = bench::hostile_families();
  configs.reserve(families.size());
  for (const auto& family : families) {
    const std::string& input = keep(family.make(hostile_bytes));
    const types::ParserConfig* config = &configs.emplace_back(family.config);
    benchmark::RegisterBenchmark(("hostile/" + std::string(family.name) + "/" + std::to_string(hostile_bytes)).c_str(),
                                 parse_with, &input, config);
  }

  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
