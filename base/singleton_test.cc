#include "base/singleton.h"

#include <atomic>
#include <thread>
#include <vector>

#include "gtest/gtest.h"

namespace {

std::atomic<int> constructed{0};

struct Slow {
  Slow() {
    constructed++;
    // Give other threads time to pile up behind the first.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ready = true;
  }
  bool ready = false;
};

TEST(SingletonTest, ConcurrentFirstCallersShareOneFinishedObject) {
  std::vector<Slow*> seen(16);
  std::vector<std::thread> threads;
  for (int i = 0; i < 16; i++) {
    threads.emplace_back([&seen, i] {
      seen[i] = Singleton<Slow>::get();
      EXPECT_TRUE(seen[i]->ready);
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(constructed.load(), 1);
  for (Slow* p : seen) EXPECT_EQ(p, seen[0]);
}

TEST(OnceTest, RunsOnce) {
  static TavroOnceType once = TAVRO_ONCE_INIT;
  static int runs = 0;
  for (int i = 0; i < 3; i++) TavroOnceInit(&once, [] { runs++; });
  EXPECT_EQ(runs, 1);
}

}  // namespace
