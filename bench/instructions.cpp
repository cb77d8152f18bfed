// The parser core's work on one input as callgrind counts it: the input is
// parsed `runs` times in `counted_parses`, which bench/instructions.py names
// to callgrind, so that reading the file and starting the process are not
// counted. Instruction counts do not depend on the machine's load.
//
//   valgrind --tool=callgrind --toggle-collect=counted_parses tagmire_instructions FILE [runs]
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "parser/parse.h"

// Not inlined, so that callgrind sees it by this name.
extern "C" [[gnu::noinline]] std::size_t counted_parses(const std::string& input, int runs) {
  std::size_t text = 0;
  for (int run = 0; run < runs; ++run) text += parser::parse_compact(input).text_size;
  return text;
}

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE [runs]\n", argv[0]);
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "%s: cannot read %s\n", argv[0], argv[1]);
    return 1;
  }
  const std::string input{std::istreambuf_iterator<char>(in), {}};
  const int runs = argc > 2 ? std::atoi(argv[2]) : 10;
  // Printed so that the parses are not optimised away.
  std::printf("%zu\n", counted_parses(input, runs));
  return 0;
}
