// sprock_roundtrip: compresses and uncompresses files with Sprock through the
// library, checks that every byte comes back, and prints sizes, ratio and
// throughput per file and in total.
//
//   sprock_roundtrip [file-or-folder...]
//
// Without arguments it takes the sample corpus beside the project when it
// exists, and otherwise /usr/share/common-licenses and /etc/ssl/certs.
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "util/sprock/sprock.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string> DefaultInputs(const char* argv0) {
  std::vector<std::string> candidates;
  // The corpus sits beside the project root; the binary is in build/.
  std::error_code ec;
  fs::path exe = fs::canonical("/proc/self/exe", ec);
  for (fs::path dir = exe.parent_path(); !dir.empty() && dir != dir.root_path();
       dir = dir.parent_path()) {
    fs::path corpus = dir.parent_path() / "shared" / "corpus";
    if (fs::is_directory(corpus, ec)) return {corpus.string()};
  }
  return {"/usr/share/common-licenses", "/etc/ssl/certs"};
}

void CollectFiles(const std::string& path, std::vector<std::string>* files) {
  std::error_code ec;
  if (fs::is_directory(path, ec)) {
    std::vector<std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(
             path, fs::directory_options::skip_permission_denied, ec)) {
      if (entry.is_regular_file(ec)) found.push_back(entry.path().string());
    }
    std::sort(found.begin(), found.end());
    files->insert(files->end(), found.begin(), found.end());
  } else if (fs::is_regular_file(path, ec)) {
    files->push_back(path);
  } else {
    fprintf(stderr, "skipping %s: not a file or folder\n", path.c_str());
  }
}

bool ReadFile(const std::string& path, std::string* contents) {
  std::ifstream in(path, std::ios::binary);
  if (!in.good()) return false;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  *contents = buffer.str();
  return !in.bad();
}

double Seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

double MBps(size_t bytes, double seconds) {
  return seconds > 0 ? bytes / seconds / 1e6 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> inputs(argv + 1, argv + argc);
  if (inputs.empty()) inputs = DefaultInputs(argv[0]);
  std::vector<std::string> files;
  for (const std::string& input : inputs) CollectFiles(input, &files);

  printf("%-60s %12s %12s %7s %10s %10s\n", "file", "bytes", "compressed",
         "ratio", "comp MB/s", "dec MB/s");
  size_t total_in = 0, total_out = 0;
  double total_comp = 0, total_dec = 0;
  int failures = 0;
  std::string data, compressed, restored;
  for (const std::string& file : files) {
    if (!ReadFile(file, &data)) {
      fprintf(stderr, "cannot read %s\n", file.c_str());
      continue;
    }
    auto t0 = std::chrono::steady_clock::now();
    Sprock::Compress(data, &compressed);
    auto t1 = std::chrono::steady_clock::now();
    bool ok = Sprock::Uncompress(compressed, &restored) && restored == data;
    auto t2 = std::chrono::steady_clock::now();
    if (!ok) {
      fprintf(stderr, "ROUND TRIP FAILED: %s\n", file.c_str());
      failures++;
    }
    const double comp = Seconds(t1 - t0), dec = Seconds(t2 - t1);
    printf("%-60s %12zu %12zu %7.3f %10.1f %10.1f\n", file.c_str(), data.size(),
           compressed.size(),
           data.empty() ? 0.0 : double(compressed.size()) / data.size(),
           MBps(data.size(), comp), MBps(data.size(), dec));
    total_in += data.size();
    total_out += compressed.size();
    total_comp += comp;
    total_dec += dec;
  }
  printf("%-60s %12zu %12zu %7.3f %10.1f %10.1f\n", "TOTAL", total_in,
         total_out, total_in == 0 ? 0.0 : double(total_out) / total_in,
         MBps(total_in, total_comp), MBps(total_in, total_dec));
  printf("%zu files, %d failures\n", files.size(), failures);
  return failures == 0 ? 0 : 1;
}
