// The VAES CTR keystream routines against Nettle, byte for byte.
//
// Nettle's aes256_encrypt of each counter block (counted here byte by byte, with the
// carry through all 16 bytes) is the reference. For each routine the processor can
// run: random lengths and counters, counters just below a carry out of the low 64
// bits and below the wrap of the whole block, every short length (each way a run
// can end), in place and out of place, at unaligned addresses. Every buffer lies
// against an inaccessible page at one end, the input is read-only, and the bytes
// around the output must stay as they were. Then the stack: a routine run on a stack
// of our own must leave none of the round keys in it.
//
//   vaes_ctr [SEED]   prints one line per check, a throughput figure per routine, and
//                     "vaes: N passed, N failed, N skipped"; exits 1 on a failure
#if defined(__x86_64__)

#include "modes/aes_vaes.hpp"
#include "modes/cpu.hpp"

#include <nettle/aes.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using CtrXor = void (*)(const aes256_ctx&, std::uint64_t&, std::uint64_t&, const std::uint8_t*, std::uint8_t*,
                        std::size_t) noexcept;
using Counter = std::array<std::uint8_t, 16>;

std::uint64_t rng_state;

std::uint64_t next() {  // splitmix64
  std::uint64_t z = (rng_state += 0x9e3779b97f4a7c15);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
  z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
  return z ^ (z >> 31);
}

std::size_t below(std::size_t n) { return static_cast<std::size_t>(next() % n); }

Counter counter_of(std::uint64_t high, std::uint64_t low) {
  Counter c;
  for (int i = 0; i < 8; ++i) {
    c[i] = static_cast<std::uint8_t>(high >> (56 - 8 * i));
    c[8 + i] = static_cast<std::uint8_t>(low >> (56 - 8 * i));
  }
  return c;
}

void reference(const aes256_ctx& keys, Counter& counter, const std::uint8_t* in, std::uint8_t* out,
               std::size_t blocks) {
  for (std::size_t b = 0; b < blocks; ++b) {
    std::uint8_t stream[16];
    aes256_encrypt(&keys, 16, stream, counter.data());
    for (int i = 0; i < 16; ++i) out[16 * b + i] = in[16 * b + i] ^ stream[i];
    for (int i = 15; i >= 0 && ++counter[i] == 0; --i) {
    }
  }
}

// `size` bytes inside a mapping whose first and last pages are inaccessible, either
// right after the first (plus `gap` bytes) or right before the last (less `gap`);
// the rest of the accessible pages hold a known pattern.
class Guarded {
 public:
  Guarded(std::size_t size, bool at_start, std::size_t gap) {
    page_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    inner_ = (size + gap + page_ - 1) / page_ * page_ + page_;
    void* m = mmap(nullptr, inner_ + 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED) std::abort();
    base_ = static_cast<std::uint8_t*>(m);
    mprotect(base_, page_, PROT_NONE);
    mprotect(base_ + page_ + inner_, page_, PROT_NONE);
    std::memset(base_ + page_, pattern, inner_);
    data_ = at_start ? base_ + page_ + gap : base_ + page_ + inner_ - gap - size;
    size_ = size;
  }
  ~Guarded() { munmap(base_, inner_ + 2 * page_); }
  Guarded(const Guarded&) = delete;
  Guarded& operator=(const Guarded&) = delete;

  std::uint8_t* data() const { return data_; }
  void read_only() const { mprotect(base_ + page_, inner_, PROT_READ); }
  bool surroundings_intact() const {
    for (const std::uint8_t* p = base_ + page_; p < base_ + page_ + inner_; ++p) {
      if ((p < data_ || p >= data_ + size_) && *p != pattern) return false;
    }
    return true;
  }

 private:
  static constexpr std::uint8_t pattern = 0xa5;
  std::size_t page_, inner_, size_;
  std::uint8_t *base_, *data_;
};

struct Case {
  std::uint64_t high, low;
  std::size_t blocks;
  bool in_place;
};

// Runs one case at a random placement; returns an empty string or what went wrong.
std::string run_case(CtrXor routine, const aes256_ctx& keys, const Case& c) {
  const std::size_t size = 16 * c.blocks;
  const auto gap = [] { return next() % 2 ? 0 : static_cast<std::size_t>(1 + below(63)); };
  Guarded input(size, next() % 2 != 0, gap());
  Guarded output(size, next() % 2 != 0, gap());
  for (std::size_t i = 0; i < size; ++i) input.data()[i] = static_cast<std::uint8_t>(next());
  std::vector<std::uint8_t> expected(size);
  Counter counter = counter_of(c.high, c.low);
  reference(keys, counter, input.data(), expected.data(), c.blocks);

  std::uint64_t high = c.high, low = c.low;
  const std::uint8_t* in = input.data();
  if (c.in_place) {
    std::memcpy(output.data(), input.data(), size);
    in = output.data();
  } else {
    input.read_only();
  }
  routine(keys, high, low, in, output.data(), c.blocks);

  char what[200];
  std::snprintf(what, sizeof what, "counter %016llx%016llx, %zu blocks, %s: ",
                static_cast<unsigned long long>(c.high), static_cast<unsigned long long>(c.low), c.blocks,
                c.in_place ? "in place" : "out of place");
  if (size != 0 && std::memcmp(output.data(), expected.data(), size) != 0) {
    std::size_t first = 0;
    while (output.data()[first] == expected[first]) ++first;
    return what + std::string("first wrong byte at ") + std::to_string(first);
  }
  if (counter_of(high, low) != counter) return what + std::string("counter advanced wrongly");
  if (!output.surroundings_intact()) return what + std::string("wrote outside the output");
  return {};
}

std::string run_cases(CtrXor routine, const aes256_ctx& keys, const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    if (std::string failure = run_case(routine, keys, c); !failure.empty()) return failure;
  }
  return {};
}

std::vector<Case> random_cases() {
  std::vector<Case> cases;
  for (int i = 0; i < 2000; ++i) {
    const std::size_t kind = below(20);
    const std::size_t blocks = kind < 14 ? below(101) : kind < 19 ? 100 + below(1000) : 1100 + below(4000);
    cases.push_back({next(), next(), blocks, next() % 3 == 0});
  }
  return cases;
}

// From `before` blocks short of a carry out of the low half (0: right at it) and of
// the wrap of the whole block, over it or up to it.
std::vector<Case> carry_cases() {
  std::vector<Case> cases;
  for (std::uint64_t before = 0; before <= 80; ++before) {
    for (std::uint64_t high : {next(), std::uint64_t{0x00000000ffffffff}, ~std::uint64_t{0}}) {
      const std::size_t blocks = before == 0 ? 1 + below(100) : before + below(90);
      cases.push_back({high, 0 - before, blocks, next() % 2 == 0});
      cases.push_back({high, 0 - before, static_cast<std::size_t>(before), next() % 2 == 0});
    }
  }
  cases.push_back({~std::uint64_t{0}, ~std::uint64_t{0}, 1, false});     // the all-0xFF block alone
  cases.push_back({0, 0x00000000fffffff0, 40, false});                  // a carry inside the low half
  return cases;
}

std::vector<Case> length_cases(bool in_place) {
  std::vector<Case> cases;
  for (std::size_t blocks = 0; blocks <= 80; ++blocks) {
    for (int i = 0; i < 4; ++i) cases.push_back({next(), next(), blocks, in_place});
  }
  return cases;
}

// ---- the stack -------------------------------------------------------------------

struct StackCall {
  CtrXor routine;
  const aes256_ctx* keys;
  std::uint8_t* data;
  std::size_t blocks;
  bool copy_keys;  // the control: leave a copy of the schedule in a local
};
StackCall stack_call;
ucontext_t caller_context, callee_context;

void on_own_stack() {
  const StackCall& c = stack_call;
  if (c.copy_keys) {
    volatile std::uint32_t copy[4 * 15];
    for (int i = 0; i < 4 * 15; ++i) copy[i] = c.keys->keys[i];
    c.data[0] ^= static_cast<std::uint8_t>(copy[7]);
    return;
  }
  std::uint64_t high = next(), low = 0 - std::uint64_t{5};
  c.routine(*c.keys, high, low, c.data, c.data, c.blocks);
}

// Runs the call on a zeroed stack of its own; returns the round keys found in it.
int round_keys_left(CtrXor routine, const aes256_ctx& keys, bool copy_keys) {
  std::vector<std::uint8_t> stack(256 * 1024, 0);
  std::vector<std::uint8_t> data(16 * 1000);
  for (std::size_t blocks : {std::size_t{1000}, std::size_t{37}, std::size_t{3}}) {
    stack_call = {routine, &keys, data.data(), blocks, copy_keys};
    getcontext(&callee_context);
    callee_context.uc_stack.ss_sp = stack.data();
    callee_context.uc_stack.ss_size = stack.size();
    callee_context.uc_link = &caller_context;
    makecontext(&callee_context, on_own_stack, 0);
    swapcontext(&caller_context, &callee_context);
  }
  int found = 0;
  for (int k = 0; k < 15; ++k) {
    const auto* key = reinterpret_cast<const std::uint8_t*>(keys.keys + 4 * k);
    for (std::size_t at = 0; at + 16 <= stack.size(); ++at) {
      if (std::memcmp(stack.data() + at, key, 16) == 0) {
        ++found;
        break;
      }
    }
  }
  return found;
}

double gigabytes_per_second(CtrXor routine, const aes256_ctx& keys) {
  std::vector<std::uint8_t> in(1 << 20), out(1 << 20);
  std::uint64_t high = 0, low = 0;
  routine(keys, high, low, in.data(), out.data(), in.size() / 16);
  double best = 1e9;
  for (int round = 0; round < 5; ++round) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 20; ++i) routine(keys, high, low, in.data(), out.data(), in.size() / 16);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    best = std::min(best, took.count() / 20);
  }
  return static_cast<double>(in.size()) / best / 1e9;
}

int passed = 0, failed = 0, skipped = 0;

void report(const char* routine, const char* check, const std::string& failure) {
  std::printf("%-12s %-44s %s%s\n", routine, check, failure.empty() ? "ok" : "FAILED: ", failure.c_str());
  ++(failure.empty() ? passed : failed);
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t seed = argc > 1 ? std::strtoull(argv[1], nullptr, 0) : 0x5eed0f0c7a11ULL;
  rng_state = seed;
  std::printf("seed %#llx\n", static_cast<unsigned long long>(seed));

  // The detection against the compiler's own (which also consults XCR0).
  const rdz::cpu::Features cpu = rdz::cpu::detect();
  __builtin_cpu_init();
  const bool gcc_256 = __builtin_cpu_supports("vaes") && __builtin_cpu_supports("avx2") && __builtin_cpu_supports("aes");
  const bool gcc_512 = gcc_256 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
  std::printf("cpu: aes %d, avx2_vaes %d, avx512_vaes %d\n", cpu.aes, cpu.avx2_vaes, cpu.avx512_vaes);
  report("cpu::detect", "agrees with __builtin_cpu_supports",
         cpu.aes == static_cast<bool>(__builtin_cpu_supports("aes")) && cpu.avx2_vaes == gcc_256 &&
                 cpu.avx512_vaes == gcc_512
             ? ""
             : "differs");

  aes256_ctx keys;
  std::uint8_t key[32];
  for (auto& b : key) b = static_cast<std::uint8_t>(next());
  aes256_set_encrypt_key(&keys, key);

  const struct {
    const char* name;
    CtrXor routine;
    bool runs;
  } routines[] = {{"ctr_xor_512", rdz::vaes::ctr_xor_512, cpu.avx512_vaes},
                  {"ctr_xor_256", rdz::vaes::ctr_xor_256, cpu.avx2_vaes}};
  for (const auto& r : routines) {
    if (!r.runs) {
      std::printf("%-12s skipped: this processor or OS lacks it\n", r.name);
      ++skipped;
      continue;
    }
    report(r.name, "random lengths and counters", run_cases(r.routine, keys, random_cases()));
    report(r.name, "across the low half's carry and the full wrap", run_cases(r.routine, keys, carry_cases()));
    report(r.name, "every length to 80 blocks, out of place", run_cases(r.routine, keys, length_cases(false)));
    report(r.name, "every length to 80 blocks, in place", run_cases(r.routine, keys, length_cases(true)));
    const int control = round_keys_left(r.routine, keys, true);
    const int left = round_keys_left(r.routine, keys, false);
    report(r.name, "no round key left on its stack",
           control != 15 ? "the scan does not find a copy left on purpose"
           : left != 0   ? std::to_string(left) + " round keys found"
                         : "");
    std::printf("%-12s %.2f GB/s over 1 MiB, out of place\n", r.name, gigabytes_per_second(r.routine, keys));
  }
  std::printf("vaes: %d passed, %d failed, %d skipped\n", passed, failed, skipped);
  return failed == 0 ? 0 : 1;
}

#else

#include <cstdio>

int main() {
  std::printf("vaes: 0 passed, 0 failed, 1 skipped (not x86-64)\n");
  return 0;
}

#endif
