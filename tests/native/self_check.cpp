// Runs the self-check of every AES backend this processor runs (Nettle aside, the
// reference), as the choice would; built with coverage, so that
// self_check_coverage.py can tell which lines of the backends the check reached.
#include "aes/backend.hpp"

#include <cstdio>

int main() {
  int failed = 0;
  for (const rdz::AesCandidate& c : rdz::aes_candidates()) {
    if (!c.runs || c.backend == &rdz::nettle_backend) continue;
    const bool passed = rdz::passes_self_check(*c.backend);
    std::printf("%-9s self-check %s\n", c.backend->name, passed ? "passed" : "FAILED");
    failed += !passed;
  }
  return failed == 0 ? 0 : 1;
}
