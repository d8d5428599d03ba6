// tessel_compress FILE: writes the Tessel compression of FILE to standard
// output. Used by the test that checks the output with an independent
// decoder.
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "util/compression/tessel/internal/tessel.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s FILE\n", argv[0]);
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  if (!in) {
    fprintf(stderr, "cannot read %s\n", argv[1]);
    return 1;
  }
  std::ostringstream contents;
  contents << in.rdbuf();
  util::compression::tessel::Tessel tessel;
  std::string compressed;
  tessel.Compress(contents.str(), &compressed);
  return fwrite(compressed.data(), 1, compressed.size(), stdout) ==
                 compressed.size()
             ? 0
             : 1;
}
