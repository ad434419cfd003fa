// Every AES backend the processor can run, through its table, against Nettle byte
// for byte; and the choice among them.
//
// The references are Nettle's single-block functions: for CTR, aes256_encrypt of
// each counter block (counted here byte by byte, with the carry through all 16
// bytes); for IGE, the chain written out block by block. Per backend: CTR over
// random lengths and counters, counters just below a carry out of the low 64 bits and below the wrap of the whole
// block, and every short length (each way a loop can end); IGE both ways over random lengths; in place and out of
// place, at unaligned addresses. Every buffer lies against an inaccessible page at one end, an input is read-only, and
// the bytes around an output must stay as they were. Then the stack: a backend run on a stack of our own must leave no
// piece of its schedules in it; nor in the vector registers when it returns. On ARM64
// with PSTATE.DIT, the guard sets it and every backend call leaves it as it found it.
//
//   aes_backends [SEED]   prints one line per check, CTR throughput per backend, the
//                         backend chosen ("chosen: NAME"), and
//                         "aes: N passed, N failed, N skipped"; exits 1 on a failure
//
// Built with REDERODIDIZO_AES_FORCE (as the module is for a forced path), it checks
// only the choice.
#include "aes/backend.hpp"
#include "aes/cpu.hpp"
#include "lib/timing.hpp"

#include <nettle/aes.h>
#include <sys/mman.h>
#if defined(__aarch64__)
#include <asm/hwcap.h>
#include <sys/auxv.h>
#endif
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using rdz::AesBackend;
using Counter = std::array<std::uint8_t, 16>;

std::uint64_t rng_state;

std::uint64_t next() {  // splitmix64
  std::uint64_t z = (rng_state += 0x9e3779b97f4a7c15);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
  z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
  return z ^ (z >> 31);
}

std::size_t below(std::size_t n) { return static_cast<std::size_t>(next() % n); }

void fill(std::uint8_t* bytes, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>(next());
}

Counter counter_of(std::uint64_t high, std::uint64_t low) {
  Counter c;
  for (int i = 0; i < 8; ++i) {
    c[i] = static_cast<std::uint8_t>(high >> (56 - 8 * i));
    c[8 + i] = static_cast<std::uint8_t>(low >> (56 - 8 * i));
  }
  return c;
}

void ctr_reference(const aes256_ctx& keys, Counter& counter, const std::uint8_t* in, std::uint8_t* out,
                   std::size_t blocks) {
  for (std::size_t b = 0; b < blocks; ++b) {
    std::uint8_t stream[16];
    aes256_encrypt(&keys, 16, stream, counter.data());
    for (int i = 0; i < 16; ++i) out[16 * b + i] = in[16 * b + i] ^ stream[i];
    for (int i = 15; i >= 0 && ++counter[i] == 0; --i) {
    }
  }
}

// c = E(p ^ C) ^ P, then C = c, P = p (encryption); p = D(c ^ P) ^ C, then C = c,
// P = p (decryption). `iv` is C then P.
void ige_reference(const aes256_ctx& keys, bool decrypt, const std::uint8_t* iv, const std::uint8_t* in,
                   std::uint8_t* out, std::size_t blocks) {
  std::uint8_t previous_out[16], previous_in[16], x[16];
  std::memcpy(decrypt ? previous_in : previous_out, iv, 16);
  std::memcpy(decrypt ? previous_out : previous_in, iv + 16, 16);
  for (std::size_t b = 0; b < blocks; ++b, in += 16, out += 16) {
    for (int i = 0; i < 16; ++i) x[i] = in[i] ^ previous_out[i];
    (decrypt ? aes256_decrypt : aes256_encrypt)(&keys, 16, x, x);
    std::memcpy(previous_out, x, 16);
    for (int i = 0; i < 16; ++i) previous_out[i] ^= previous_in[i];
    std::memcpy(previous_in, in, 16);
    std::memcpy(out, previous_out, 16);
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

using Result = std::string;  // what went wrong, or empty

// Runs `run` (in, out) from a guarded input to a guarded output, or in place in the
// output, at random placements, and compares with `expect` (in, out) over the same
// input.
template <class Run, class Expect>
Result guarded(std::size_t size, bool in_place, Run run, Expect expect) {
  const auto gap = [] { return next() % 2 ? 0 : static_cast<std::size_t>(1 + below(63)); };
  Guarded input(size, next() % 2 != 0, gap());
  Guarded output(size, next() % 2 != 0, gap());
  fill(input.data(), size);
  std::vector<std::uint8_t> expected(size);
  expect(input.data(), expected.data());
  const std::uint8_t* in = input.data();
  if (in_place) {
    std::memcpy(output.data(), input.data(), size);
    in = output.data();
  } else {
    input.read_only();
  }
  run(in, output.data());
  if (size != 0 && std::memcmp(output.data(), expected.data(), size) != 0) {
    std::size_t first = 0;
    while (output.data()[first] == expected[first]) ++first;
    return "first wrong byte at " + std::to_string(first);
  }
  if (!output.surroundings_intact()) return "wrote outside the output";
  return {};
}

const char* placement(bool in_place) { return in_place ? "in place" : "out of place"; }

// The schedules a backend makes for a random key (in its own layout), and Nettle's.
struct Keys {
  rdz::AesSchedule encrypt, decrypt;
  aes256_ctx nettle_encrypt, nettle_decrypt;
  explicit Keys(const AesBackend& backend) {
    std::uint8_t key[32];
    fill(key, sizeof key);
    backend.expand_encrypt(key, encrypt);
    backend.expand_decrypt(key, decrypt);
    aes256_set_encrypt_key(&nettle_encrypt, key);
    aes256_set_decrypt_key(&nettle_decrypt, key);
  }
};

struct CtrCase {
  std::uint64_t high, low;
  std::size_t blocks;
  bool in_place;
};

Result ctr_cases(const AesBackend& backend, const std::vector<CtrCase>& cases) {
  const Keys keys(backend);
  for (const CtrCase& c : cases) {
    Counter counter = counter_of(c.high, c.low);
    std::uint64_t high = c.high, low = c.low;
    Result failure = guarded(
        16 * c.blocks, c.in_place,
        [&](const std::uint8_t* in, std::uint8_t* out) { backend.ctr_xor(keys.encrypt, high, low, in, out, c.blocks); },
        [&](const std::uint8_t* in, std::uint8_t* out) {
          ctr_reference(keys.nettle_encrypt, counter, in, out, c.blocks);
        });
    if (failure.empty() && counter_of(high, low) != counter) failure = "counter advanced wrongly";
    if (!failure.empty()) {
      char what[120];
      std::snprintf(what, sizeof what,
                    "counter %016llx%016llx, %zu blocks, %s: ", static_cast<unsigned long long>(c.high),
                    static_cast<unsigned long long>(c.low), c.blocks, placement(c.in_place));
      return what + failure;
    }
  }
  return {};
}

std::vector<CtrCase> random_cases() {
  std::vector<CtrCase> cases;
  for (int i = 0; i < 2000; ++i) {
    const std::size_t kind = below(20);
    const std::size_t blocks = kind < 14 ? below(101) : kind < 19 ? 100 + below(1000) : 1100 + below(4000);
    cases.push_back({next(), next(), blocks, next() % 3 == 0});
  }
  return cases;
}

// From `before` blocks short of a carry out of the low half (0: right at it) and of
// the wrap of the whole block, over it or up to it.
std::vector<CtrCase> carry_cases() {
  std::vector<CtrCase> cases;
  for (std::uint64_t before = 0; before <= 80; ++before) {
    for (std::uint64_t high : {next(), std::uint64_t{0x00000000ffffffff}, ~std::uint64_t{0}}) {
      const std::size_t blocks = before == 0 ? 1 + below(100) : before + below(90);
      cases.push_back({high, 0 - before, blocks, next() % 2 == 0});
      cases.push_back({high, 0 - before, static_cast<std::size_t>(before), next() % 2 == 0});
    }
  }
  cases.push_back({~std::uint64_t{0}, ~std::uint64_t{0}, 1, false});  // the all-0xFF block alone
  cases.push_back({0, 0x00000000fffffff0, 40, false});  // a carry inside the low half
  return cases;
}

std::vector<CtrCase> length_cases() {
  std::vector<CtrCase> cases;
  for (std::size_t blocks = 0; blocks <= 80; ++blocks) {
    for (int i = 0; i < 8; ++i) cases.push_back({next(), next(), blocks, i % 2 == 0});
  }
  return cases;
}

Result ige_cases(const AesBackend& backend) {
  const Keys keys(backend);
  for (int i = 0; i < 600; ++i) {
    const std::size_t blocks = i < 100 ? static_cast<std::size_t>(i) : below(400);
    const bool in_place = next() % 2 == 0, decrypt = i % 2 != 0;
    std::uint8_t iv[32];
    fill(iv, sizeof iv);
    const auto run = decrypt ? backend.ige_decrypt : backend.ige_encrypt;
    const rdz::AesSchedule& ours = decrypt ? keys.decrypt : keys.encrypt;
    const aes256_ctx& nettle = decrypt ? keys.nettle_decrypt : keys.nettle_encrypt;
    Result failure = guarded(
        16 * blocks, in_place, [&](const std::uint8_t* in, std::uint8_t* out) { run(ours, in, out, blocks, iv); },
        [&](const std::uint8_t* in, std::uint8_t* out) { ige_reference(nettle, decrypt, iv, in, out, blocks); });
    if (!failure.empty()) {
      return std::string(decrypt ? "decrypt" : "encrypt") + ", " + std::to_string(blocks) + " blocks, " +
             placement(in_place) + ": " + failure;
    }
  }
  return {};
}

// ---- the stack -------------------------------------------------------------------

struct StackCall {
  const AesBackend* backend;
  const std::uint8_t* key;
  rdz::AesSchedule* encrypt;
  rdz::AesSchedule* decrypt;
  std::uint8_t* data;
  bool copy_keys;  // the control: leave a copy of the schedule in a local
};
StackCall stack_call;
ucontext_t caller_context, callee_context;

void on_own_stack() {
  const StackCall& c = stack_call;
  c.backend->expand_encrypt(c.key, *c.encrypt);
  c.backend->expand_decrypt(c.key, *c.decrypt);
  if (c.copy_keys) {
    volatile std::uint8_t copy[rdz::aes_schedule_capacity];
    for (std::size_t i = 0; i < c.backend->schedule_size; ++i) copy[i] = c.encrypt->bytes[i];
    c.data[0] ^= copy[7];
    return;
  }
  std::uint8_t iv[32] = {};
  for (std::size_t blocks : {std::size_t{1000}, std::size_t{37}, std::size_t{3}}) {
    std::uint64_t high = 1, low = 0 - std::uint64_t{5};
    c.backend->ctr_xor(*c.encrypt, high, low, c.data, c.data, blocks);
    c.backend->ige_encrypt(*c.encrypt, c.data, c.data, blocks, iv);
    c.backend->ige_decrypt(*c.decrypt, c.data, c.data, blocks, iv);
  }
}

// Runs key expansion, CTR and IGE on a zeroed stack of their own; returns how many
// 16-byte pieces of either schedule (in the backend's own layout) are found in it.
int round_keys_left(const AesBackend& backend, bool copy_keys) {
  std::vector<std::uint8_t> stack(256 * 1024, 0), data(16 * 1000);
  std::uint8_t key[32];
  fill(key, sizeof key);
  rdz::AesSchedule encrypt, decrypt;
  stack_call = {&backend, key, &encrypt, &decrypt, data.data(), copy_keys};
  getcontext(&callee_context);
  callee_context.uc_stack.ss_sp = stack.data();
  callee_context.uc_stack.ss_size = stack.size();
  callee_context.uc_link = &caller_context;
  makecontext(&callee_context, on_own_stack, 0);
  swapcontext(&caller_context, &callee_context);
  int found = 0;
  for (const rdz::AesSchedule* schedule : {&encrypt, &decrypt}) {
    for (std::size_t k = 0; k + 16 <= backend.schedule_size; k += 16) {
      const auto* round_key = schedule->bytes + k;
      for (std::size_t at = 0; at + 16 <= stack.size(); ++at) {
        if (std::memcmp(stack.data() + at, round_key, 16) == 0) {
          ++found;
          break;
        }
      }
    }
  }
  return found;
}

Result stack_clean(const AesBackend& backend) {
  if (round_keys_left(backend, true) == 0) return "the scan does not find a copy left on purpose";
  if (const int left = round_keys_left(backend, false); left != 0) return std::to_string(left) + " round keys found";
  return {};
}

// ---- the registers ---------------------------------------------------------------

// The vector registers as a backend left them when it returned. Code that runs after
// it may store them to its stack (the lazy resolver saves the argument registers, a
// signal frame all of them), where no wipe reaches: a backend must leave no piece of
// its schedules in them. On x86-64 the whole zmm0-31 where there is AVX-512, else the
// whole ymm registers where there is AVX.
struct Registers {
  alignas(64) std::uint8_t bytes[64 * 32];
  std::size_t size;
};

template <class Work>
__attribute__((noinline)) Registers registers_after(const Work& work) {
  work();
  Registers r;
#if defined(__aarch64__)
  asm volatile(
      "stp q0, q1, [%0, #0]\n\t"
      "stp q2, q3, [%0, #32]\n\t"
      "stp q4, q5, [%0, #64]\n\t"
      "stp q6, q7, [%0, #96]\n\t"
      "stp q8, q9, [%0, #128]\n\t"
      "stp q10, q11, [%0, #160]\n\t"
      "stp q12, q13, [%0, #192]\n\t"
      "stp q14, q15, [%0, #224]\n\t"
      "stp q16, q17, [%0, #256]\n\t"
      "stp q18, q19, [%0, #288]\n\t"
      "stp q20, q21, [%0, #320]\n\t"
      "stp q22, q23, [%0, #352]\n\t"
      "stp q24, q25, [%0, #384]\n\t"
      "stp q26, q27, [%0, #416]\n\t"
      "stp q28, q29, [%0, #448]\n\t"
      "stp q30, q31, [%0, #480]\n\t"
      :
      : "r"(r.bytes)
      : "memory");
  r.size = 32 * 16;
#elif defined(__x86_64__)
  if (__builtin_cpu_supports("avx512f")) {
    asm volatile(
        "vmovdqu64 %%zmm0, 0(%0)\n\t"
        "vmovdqu64 %%zmm1, 64(%0)\n\t"
        "vmovdqu64 %%zmm2, 128(%0)\n\t"
        "vmovdqu64 %%zmm3, 192(%0)\n\t"
        "vmovdqu64 %%zmm4, 256(%0)\n\t"
        "vmovdqu64 %%zmm5, 320(%0)\n\t"
        "vmovdqu64 %%zmm6, 384(%0)\n\t"
        "vmovdqu64 %%zmm7, 448(%0)\n\t"
        "vmovdqu64 %%zmm8, 512(%0)\n\t"
        "vmovdqu64 %%zmm9, 576(%0)\n\t"
        "vmovdqu64 %%zmm10, 640(%0)\n\t"
        "vmovdqu64 %%zmm11, 704(%0)\n\t"
        "vmovdqu64 %%zmm12, 768(%0)\n\t"
        "vmovdqu64 %%zmm13, 832(%0)\n\t"
        "vmovdqu64 %%zmm14, 896(%0)\n\t"
        "vmovdqu64 %%zmm15, 960(%0)\n\t"
        "vmovdqu64 %%zmm16, 1024(%0)\n\t"
        "vmovdqu64 %%zmm17, 1088(%0)\n\t"
        "vmovdqu64 %%zmm18, 1152(%0)\n\t"
        "vmovdqu64 %%zmm19, 1216(%0)\n\t"
        "vmovdqu64 %%zmm20, 1280(%0)\n\t"
        "vmovdqu64 %%zmm21, 1344(%0)\n\t"
        "vmovdqu64 %%zmm22, 1408(%0)\n\t"
        "vmovdqu64 %%zmm23, 1472(%0)\n\t"
        "vmovdqu64 %%zmm24, 1536(%0)\n\t"
        "vmovdqu64 %%zmm25, 1600(%0)\n\t"
        "vmovdqu64 %%zmm26, 1664(%0)\n\t"
        "vmovdqu64 %%zmm27, 1728(%0)\n\t"
        "vmovdqu64 %%zmm28, 1792(%0)\n\t"
        "vmovdqu64 %%zmm29, 1856(%0)\n\t"
        "vmovdqu64 %%zmm30, 1920(%0)\n\t"
        "vmovdqu64 %%zmm31, 1984(%0)\n\t"
        :
        : "r"(r.bytes)
        : "memory");
    r.size = 32 * 64;
  } else if (__builtin_cpu_supports("avx")) {
    asm volatile(
        "vmovdqu %%ymm0, 0(%0)\n\t"
        "vmovdqu %%ymm1, 32(%0)\n\t"
        "vmovdqu %%ymm2, 64(%0)\n\t"
        "vmovdqu %%ymm3, 96(%0)\n\t"
        "vmovdqu %%ymm4, 128(%0)\n\t"
        "vmovdqu %%ymm5, 160(%0)\n\t"
        "vmovdqu %%ymm6, 192(%0)\n\t"
        "vmovdqu %%ymm7, 224(%0)\n\t"
        "vmovdqu %%ymm8, 256(%0)\n\t"
        "vmovdqu %%ymm9, 288(%0)\n\t"
        "vmovdqu %%ymm10, 320(%0)\n\t"
        "vmovdqu %%ymm11, 352(%0)\n\t"
        "vmovdqu %%ymm12, 384(%0)\n\t"
        "vmovdqu %%ymm13, 416(%0)\n\t"
        "vmovdqu %%ymm14, 448(%0)\n\t"
        "vmovdqu %%ymm15, 480(%0)\n\t"
        :
        : "r"(r.bytes)
        : "memory");
    r.size = 16 * 32;
  } else {
    asm volatile(
        "movdqu %%xmm0, 0(%0)\n\t"
        "movdqu %%xmm1, 16(%0)\n\t"
        "movdqu %%xmm2, 32(%0)\n\t"
        "movdqu %%xmm3, 48(%0)\n\t"
        "movdqu %%xmm4, 64(%0)\n\t"
        "movdqu %%xmm5, 80(%0)\n\t"
        "movdqu %%xmm6, 96(%0)\n\t"
        "movdqu %%xmm7, 112(%0)\n\t"
        "movdqu %%xmm8, 128(%0)\n\t"
        "movdqu %%xmm9, 144(%0)\n\t"
        "movdqu %%xmm10, 160(%0)\n\t"
        "movdqu %%xmm11, 176(%0)\n\t"
        "movdqu %%xmm12, 192(%0)\n\t"
        "movdqu %%xmm13, 208(%0)\n\t"
        "movdqu %%xmm14, 224(%0)\n\t"
        "movdqu %%xmm15, 240(%0)\n\t"
        :
        : "r"(r.bytes)
        : "memory");
    r.size = 16 * 16;
  }
#else
  r.size = 0;
#endif
  return r;
}

// The control: a piece of a schedule left in a register on purpose (with AVX-512, in
// one of the upper sixteen, which only EVEX code reaches: the driver, built for plain
// x86-64, never uses it, so it names no clobber, and it is zeroed after the control).
__attribute__((noinline)) void leave_in_a_register(const std::uint8_t* piece) {
#if defined(__aarch64__)
  asm volatile("ldr q5, [%0]" : : "r"(piece) : "v5", "memory");
#elif defined(__x86_64__)
  if (__builtin_cpu_supports("avx512f")) {
    asm volatile("vmovdqu64 (%0), %%xmm20" : : "r"(piece) : "memory");
  } else {
    asm volatile("movdqu (%0), %%xmm5" : : "r"(piece) : "xmm5", "memory");
  }
#endif
}

__attribute__((noinline)) void clear_the_control() {
#if defined(__x86_64__)
  if (__builtin_cpu_supports("avx512f")) asm volatile("vpxord %%xmm20, %%xmm20, %%xmm20" : : : "memory");
#endif
}

// How many 16-byte pieces of the schedules (or the key) the registers hold.
int key_pieces_in(const Registers& r, const std::uint8_t* key, const rdz::AesSchedule& encrypt,
                  const rdz::AesSchedule& decrypt, std::size_t schedule_size) {
  std::vector<const std::uint8_t*> pieces{key, key + 16};
  for (const rdz::AesSchedule* schedule : {&encrypt, &decrypt}) {
    for (std::size_t k = 0; k + 16 <= schedule_size; k += 16) pieces.push_back(schedule->bytes + k);
  }
  // A zeroed register holds nothing, whatever zeros a schedule has.
  std::erase_if(
      pieces, [](const std::uint8_t* piece) { return std::all_of(piece, piece + 16, [](auto b) { return b == 0; }); });
  int found = 0;
  for (std::size_t at = 0; at + 16 <= r.size; at += 16) {
    for (const std::uint8_t* piece : pieces) found += std::memcmp(r.bytes + at, piece, 16) == 0;
  }
  return found;
}

Result registers_clear(const AesBackend& b) {
#if defined(__aarch64__) || defined(__x86_64__)
  std::uint8_t key[32], iv[32] = {};
  fill(key, sizeof key);
  rdz::AesSchedule encrypt, decrypt;
  std::vector<std::uint8_t> data(16 * 37);
  const auto left = [&](const auto& work) {
    return key_pieces_in(registers_after(work), key, encrypt, decrypt, b.schedule_size);
  };
  const int after_expansion =
      left([&] { b.expand_encrypt(key, encrypt); }) + left([&] { b.expand_decrypt(key, decrypt); });
  const int control = left([&] { leave_in_a_register(encrypt.bytes + 16); });
  clear_the_control();
  if (control == 0) return "the control's round key is not seen";
  const int after_work = left([&] {
                           std::uint64_t high = 1, low = 0 - std::uint64_t{5};
                           b.ctr_xor(encrypt, high, low, data.data(), data.data(), 37);
                         }) +
                         left([&] { b.ige_encrypt(encrypt, data.data(), data.data(), 37, iv); }) +
                         left([&] { b.ige_decrypt(decrypt, data.data(), data.data(), 37, iv); });
  if (after_expansion + after_work != 0) {
    return std::to_string(after_expansion) + " pieces after key expansion, " + std::to_string(after_work) +
           " after CTR and IGE";
  }
#endif
  (void)b;
  return {};
}

// ---- data-independent timing ------------------------------------------------------

#if defined(__aarch64__)
using rdz::timing::dit_bit;
using rdz::timing::read_dit;
using rdz::timing::write_dit;

// The guard sets PSTATE.DIT inside its scope, clears it after, and leaves it set when
// the caller had set it.
Result dit_guard() {
  std::uint64_t inside, after;
  {
    const rdz::DataIndependentTiming timing;
    inside = read_dit() & dit_bit;
  }
  after = read_dit() & dit_bit;
  write_dit(dit_bit);
  { const rdz::DataIndependentTiming timing; }
  const std::uint64_t kept = read_dit() & dit_bit;
  write_dit(0);
  if (inside == 0) return "not set inside the guard";
  if (after != 0) return "still set after the guard";
  if (kept == 0) return "the caller's setting was cleared";
  return {};
}

// Every call of a backend, with DIT clear and with it set by the caller, leaves it so.
Result dit_as_found(const AesBackend& b) {
  std::uint8_t key[32], iv[32] = {};
  fill(key, sizeof key);
  rdz::AesSchedule encrypt, decrypt;
  std::vector<std::uint8_t> data(16 * 9);
  for (const std::uint64_t caller : {std::uint64_t{0}, dit_bit}) {
    const auto changed = [&](const auto& work) {
      write_dit(caller);
      work();
      const bool differs = (read_dit() & dit_bit) != caller;
      write_dit(0);
      return differs;
    };
    std::uint64_t high = 0, low = 0;
    const bool any = changed([&] { b.expand_encrypt(key, encrypt); }) |
                     changed([&] { b.expand_decrypt(key, decrypt); }) |
                     changed([&] { b.ctr_xor(encrypt, high, low, data.data(), data.data(), 9); }) |
                     changed([&] { b.ige_encrypt(encrypt, data.data(), data.data(), 9, iv); }) |
                     changed([&] { b.ige_decrypt(decrypt, data.data(), data.data(), 9, iv); });
    if (any) return caller ? "a call cleared the caller's DIT" : "a call left DIT set";
  }
  return {};
}
#endif

double ctr_gigabytes_per_second(const AesBackend& backend) {
  const Keys keys(backend);
  std::vector<std::uint8_t> in(1 << 20), out(1 << 20);
  std::uint64_t high = 0, low = 0;
  backend.ctr_xor(keys.encrypt, high, low, in.data(), out.data(), in.size() / 16);
  double best = 1e9;
  for (int round = 0; round < 5; ++round) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 20; ++i) backend.ctr_xor(keys.encrypt, high, low, in.data(), out.data(), in.size() / 16);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    best = std::min(best, took.count() / 20);
  }
  return static_cast<double>(in.size()) / best / 1e9;
}

int passed = 0, failed = 0, skipped = 0;

void report(const char* backend, const char* check, const Result& failure) {
  std::printf("%-8s %-50s %s%s\n", backend, check, failure.empty() ? "ok" : "FAILED: ", failure.c_str());
  ++(failure.empty() ? passed : failed);
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t seed = argc > 1 ? std::strtoull(argv[1], nullptr, 0) : 0x5eed0f0c7a11ULL;
  rng_state = seed;
  std::printf("seed %#llx\n", static_cast<unsigned long long>(seed));

#if defined(__x86_64__)
  // The detection against the compiler's own (which also consults XCR0).
  const rdz::cpu::Features cpu = rdz::cpu::detect();
  __builtin_cpu_init();
  const bool gcc_ssse3 = __builtin_cpu_supports("ssse3");
  const bool gcc_aes = __builtin_cpu_supports("aes");
  const bool gcc_avx2 = gcc_ssse3 && __builtin_cpu_supports("avx2");
  const bool gcc_256 = gcc_aes && __builtin_cpu_supports("vaes") && __builtin_cpu_supports("avx2");
  const bool gcc_512 = gcc_256 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
  std::printf("cpu: ssse3 %d, aes %d, avx2 %d, avx2_vaes %d, avx512_vaes %d\n", cpu.ssse3, cpu.aes, cpu.avx2,
              cpu.avx2_vaes, cpu.avx512_vaes);
  report("cpu", "detect() agrees with __builtin_cpu_supports",
         cpu.ssse3 == gcc_ssse3 && cpu.aes == gcc_aes && cpu.avx2 == gcc_avx2 && cpu.avx2_vaes == gcc_256 &&
                 cpu.avx512_vaes == gcc_512
             ? ""
             : "differs");
#elif defined(__aarch64__)
  const unsigned long hwcap = getauxval(AT_HWCAP);
  const bool dit = rdz::timing::dit_available();
  std::printf("cpu: aes %d (HWCAP %#lx, HWCAP_AES %d), dit %d\n", rdz::cpu::detect().aes, hwcap,
              (hwcap & HWCAP_AES) != 0, dit);
  if (dit) {
    report("dit", "PSTATE.DIT set inside the guard, restored after", dit_guard());
  } else {
    // Without the bit a guard must not touch it: the instruction would be undefined, and
    // the driver would end here on SIGILL.
    { const rdz::DataIndependentTiming timing; }
    report("dit", "without HWCAP_DIT the guard does nothing", "");
  }
#endif
  const rdz::AesCandidates candidates = rdz::aes_candidates();

#ifdef REDERODIDIZO_AES_FORCE
  // A build that forces a path: that one where it runs, else none (and the module
  // then refuses to load).
  const AesBackend* forced = nullptr;
  for (const rdz::AesCandidate& c : candidates) {
    if (c.runs && std::strcmp(c.backend->name, REDERODIDIZO_AES_FORCE) == 0) forced = c.backend;
  }
  const AesBackend* forced_choice = rdz::chosen_aes_backend();
  report("choice", "forced " REDERODIDIZO_AES_FORCE ": that path where it runs, else none",
         forced_choice == forced ? "" : std::string("chose ") + (forced_choice ? forced_choice->name : "none"));
  std::printf("aes: %d passed, %d failed, %d skipped\n", passed, failed, skipped);
  return failed == 0 ? 0 : 1;
#endif

  const AesBackend* best = nullptr;
  for (const rdz::AesCandidate& c : candidates) {
    if (!c.runs) {
      std::printf("%-8s skipped: this processor or OS lacks it\n", c.backend->name);
      ++skipped;
      continue;
    }
    if (!best) best = c.backend;
    const AesBackend& b = *c.backend;
    report(b.name, "CTR: random lengths and counters", ctr_cases(b, random_cases()));
    report(b.name, "CTR: across the low half's carry and the full wrap", ctr_cases(b, carry_cases()));
    report(b.name, "CTR: every length to 80 blocks", ctr_cases(b, length_cases()));
    report(b.name, "IGE: both ways, random lengths", ige_cases(b));
    report(b.name, "no round key left on its stack", stack_clean(b));
    report(b.name, "no round key left in the vector registers", registers_clear(b));
#if defined(__aarch64__)
    if (dit) report(b.name, "PSTATE.DIT as the caller left it", dit_as_found(b));
#endif
    std::printf("%-8s CTR at %.2f GB/s over 1 MiB, out of place\n", b.name, ctr_gigabytes_per_second(b));
  }
  // Every backend that runs passes its self-check, so the first of them is chosen.
  const AesBackend* chosen = rdz::chosen_aes_backend();
  std::printf("chosen: %s\n", chosen ? chosen->name : "none");
  report("choice", "the first runnable backend is chosen",
         chosen == best ? "" : std::string("chose ") + (chosen ? chosen->name : "none") + ", not " + best->name);
  std::printf("aes: %d passed, %d failed, %d skipped\n", passed, failed, skipped);
  return failed == 0 ? 0 : 1;
}
