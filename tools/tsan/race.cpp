// The positive control of `make tsan`: a deliberate data race that ThreadSanitizer
// must report, run the way the module's tests are run. Two Python threads call
// race_on_counter at the same time (ctypes lets go of the interpreter lock around
// the call). Each waits for the other with relaxed atomics, which order nothing, and
// then both add to one plain counter.
#include <atomic>
#include <chrono>

namespace {

std::atomic<int> arrived{0};
long counter = 0;  // unsynchronised on purpose

}  // namespace

// Returns the counter as this thread left it, or -1 if the other thread did not
// arrive within ten seconds.
extern "C" __attribute__((visibility("default"))) long race_on_counter(long rounds) {
  arrived.fetch_add(1, std::memory_order_relaxed);
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (arrived.load(std::memory_order_relaxed) < 2) {
    if (std::chrono::steady_clock::now() > give_up) return -1;
  }
  for (long i = 0; i < rounds; ++i) counter = counter + 1;
  return counter;
}
