#include "testing/corpus.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "base/logging.h"

namespace testing_corpus {

namespace fs = std::filesystem;

std::string CorpusDir() {
  const char* env = getenv("TAVRO_CORPUS");
  std::string dir = env != nullptr && *env != '\0' ? env : TAVRO_CORPUS_DIR;
  std::error_code ec;
  return fs::is_directory(dir, ec) ? dir : std::string();
}

std::vector<std::string> CorpusFiles() {
  std::vector<std::string> files;
  const std::string dir = CorpusDir();
  if (dir.empty()) return files;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    if (!entry.is_regular_file()) continue;
    const std::string name = entry.path().filename().string();
    // The corpus' own index files are not samples.
    if (name == "README.md" || name == "SHA256SUMS") continue;
    files.push_back(entry.path().string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::string MissingCorpusMessage() {
  return "sample corpus not found at " + std::string(TAVRO_CORPUS_DIR) +
         " (set TAVRO_CORPUS to another folder); skipping";
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  CHECK(in.good()) << "cannot open " << path;
  std::ostringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

std::string ShortName(const std::string& path) {
  const std::string dir = CorpusDir();
  if (!dir.empty() && path.compare(0, dir.size(), dir) == 0) {
    size_t start = dir.size();
    while (start < path.size() && path[start] == '/') start++;
    return path.substr(start);
  }
  return path;
}

}  // namespace testing_corpus
