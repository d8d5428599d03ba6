// Test and benchmark access to the sample corpus that lives beside the
// project (../shared/corpus, or the folder named by $TAVRO_CORPUS). It is
// not shipped: callers skip with a clear message when it is absent.
#ifndef TESTING_CORPUS_H_
#define TESTING_CORPUS_H_

#include <string>
#include <vector>

namespace testing_corpus {

// The corpus folder, or "" when it does not exist.
std::string CorpusDir();

// Every regular file under the corpus folder, sorted, as full paths;
// empty when the corpus is absent.
std::vector<std::string> CorpusFiles();

// The message tests print when they skip for want of the corpus.
std::string MissingCorpusMessage();

// The whole contents of a file; fails the process on a read error.
std::string ReadFile(const std::string& path);

// Path relative to the corpus folder, for test and benchmark names.
std::string ShortName(const std::string& path);

}  // namespace testing_corpus

#endif  // TESTING_CORPUS_H_
