// Doubling check: for every hostile family, time parse() on inputs of n and
// 2n bytes and print t(2n)/t(n). A linear parser stays near 2.
//
//   tagmire_scaling [min_bytes] [max_bytes]   (defaults 65536 and 16777216)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <malloc.h>
#include <string>
#include <vector>

#include "hostile_inputs.h"
#include "parser/parse.h"

namespace {

double median_seconds(const std::string& input, const types::ParserConfig& config) {
  std::vector<double> times;
  for (int run = 0; run < 5; ++run) {
    const auto start = std::chrono::steady_clock::now();
    const types::ParseResult result = parser::parse(input, config);
    const auto stop = std::chrono::steady_clock::now();
    if (result.text.size() > input.size()) std::abort();  // keeps the work observable
    times.push_back(std::chrono::duration<double>(stop - start).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t min_bytes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 65536;
  const std::size_t max_bytes = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 16777216;
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  // Keep freed memory in the process between runs, so that each run pays
  // for the parse and not for the kernel mapping fresh pages again.
  mallopt(M_MMAP_THRESHOLD, 1 << 30);
  mallopt(M_TRIM_THRESHOLD, -1);
  std::printf("%-36s %10s %12s %8s\n", "family", "bytes", "median_ms", "t2n/tn");
  double worst = 0;
  for (const auto& family : bench::hostile_families()) {
    double previous = 0;
    for (std::size_t n = min_bytes; n <= max_bytes; n *= 2) {
      const std::string input = family.make(n);
      const double t = median_seconds(input, family.config);
      const double ratio = previous > 0 ? t / previous : 0;
      if (previous > 0) worst = std::max(worst, ratio);
      std::printf("%-36s %10zu %12.3f %8s\n", family.name, input.size(), t * 1e3,
                  previous > 0 ? std::to_string(ratio).substr(0, 5).c_str() : "-");
      previous = t;
    }
  }
  std::printf("worst doubling ratio: %.2f\n", worst);
  return 0;
}
