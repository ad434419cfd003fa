// What a call leaves behind on the stack below it.
//
// A call runs on a stack of our own (makecontext), zeroed first; then every 16-byte
// window of that stack, at every byte offset, is looked up among the values a plain
// FIPS 197 model says the call computed (aes_model.hpp): round keys, states between
// steps, block cipher inputs and outputs, keystream. States a backend keeps in its own
// layout (bitsliced words, the vector-permute basis) match no such window, so the call
// also runs under several keys with everything else the same, and every byte of the
// stack that differs between the runs is counted: nothing the call leaves may depend
// on the key. The stack holds the red zone below the call's frame too.
#pragma once

#include "aes_model.hpp"

#include <ucontext.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <span>
#include <vector>

namespace leftovers {

class OwnStack {
 public:
  explicit OwnStack(std::size_t size) : bytes_(size) {}

  // Runs `work` on this stack, zeroed first.
  void run(const std::function<void()>& work) {
    std::fill(bytes_.begin(), bytes_.end(), 0);
    current_work() = &work;
    getcontext(&callee());
    callee().uc_stack.ss_sp = bytes_.data();
    callee().uc_stack.ss_size = bytes_.size();
    callee().uc_link = &caller();
    makecontext(&callee(), trampoline, 0);
    swapcontext(&caller(), &callee());
  }

  // The stack below the frame that called the work: what the work may have left. The
  // frames above it are this harness's own.
  std::span<const std::uint8_t> below_call() const {
    return {bytes_.data(), static_cast<std::size_t>(boundary() - bytes_.data())};
  }

 private:
  // Marks where the work's frames begin (the stack pointer at the call: this frame,
  // its saved registers included, is above it), and zeroes the callee-saved
  // registers first: the work's prologues save them below that mark, and what the
  // harness had left in them (random numbers the keys were made of, say) is no
  // business of the work.
  __attribute__((noinline)) static void trampoline() {
    zero_callee_saved_registers();
    boundary() = stack_pointer();
    (*current_work())();
    asm volatile("" : : : "memory");  // not a tail call: this frame stays while the work runs
  }
  static const std::uint8_t* stack_pointer() {
    const std::uint8_t* sp;
#if defined(__x86_64__)
    asm volatile("mov %%rsp, %0" : "=r"(sp));
#elif defined(__aarch64__)
    asm volatile("mov %0, sp" : "=r"(sp));
#else
    std::uint8_t here;
    sp = &here;
#endif
    return sp;
  }
  static void zero_callee_saved_registers() {
#if defined(__x86_64__)
    asm volatile("xor %%ebx, %%ebx\n\txor %%ebp, %%ebp\n\txor %%r12d, %%r12d\n\txor %%r13d, %%r13d\n\txor %%r14d, %%r14d\n\txor %%r15d, %%r15d"
                 :
                 :
                 : "rbx", "rbp", "r12", "r13", "r14", "r15");
#elif defined(__aarch64__)
    asm volatile(
        "mov x19, xzr\n\tmov x20, xzr\n\tmov x21, xzr\n\tmov x22, xzr\n\tmov x23, xzr\n\t"
        "mov x24, xzr\n\tmov x25, xzr\n\tmov x26, xzr\n\tmov x27, xzr\n\tmov x28, xzr\n\t"
        "movi v8.16b, #0\n\tmovi v9.16b, #0\n\tmovi v10.16b, #0\n\tmovi v11.16b, #0\n\t"
        "movi v12.16b, #0\n\tmovi v13.16b, #0\n\tmovi v14.16b, #0\n\tmovi v15.16b, #0"
        :
        :
        : "x19", "x20", "x21", "x22", "x23", "x24", "x25", "x26", "x27", "x28", "v8", "v9", "v10", "v11", "v12",
          "v13", "v14", "v15");
#endif
  }
  static const std::uint8_t*& boundary() {
    static const std::uint8_t* mark;
    return mark;
  }
  static const std::function<void()>*& current_work() {
    static const std::function<void()>* work;
    return work;
  }
  static ucontext_t& caller() {
    static ucontext_t context;
    return context;
  }
  static ucontext_t& callee() {
    static ucontext_t context;
    return context;
  }

  std::vector<std::uint8_t> bytes_;
};

// How many windows of `stack` are among `values` (sorted).
inline std::size_t windows_found(std::span<const std::uint8_t> stack, const std::vector<aes_model::Block>& values) {
  std::size_t found = 0;
  aes_model::Block window;
  for (std::size_t at = 0; at + 16 <= stack.size(); ++at) {
    std::memcpy(window.data(), stack.data() + at, 16);
    found += std::binary_search(values.begin(), values.end(), window);
  }
  return found;
}

// What one call left behind, under every key it ran with.
struct Found {
  std::size_t windows = 0;  // windows that are values the model computed
  std::size_t key_dependent = 0;  // bytes that differ between the runs
};

// Runs `prepare(key)` on the caller's stack, then `call(key)` on `stack`, once per
// key, with `model(key, record)` recording what the call computes for that key.
template <class Prepare, class Call, class Model>
Found scan(OwnStack& stack, const std::vector<std::array<std::uint8_t, 32>>& keys, const Prepare& prepare,
           const Call& call, const Model& model) {
  Found found;
  std::vector<std::uint8_t> first;
  std::vector<bool> differs;
  // Every run sees the key at the same address: only its bytes differ.
  static std::array<std::uint8_t, 32> key;
  for (const auto& each : keys) {
    key = each;
    prepare(key.data());
    stack.run([&] { call(key.data()); });
    aes_model::Record record;
    model(key.data(), record);
    const auto below = stack.below_call();
    found.windows += windows_found(below, record.sorted());
    if (first.empty()) {
      first.assign(below.begin(), below.end());
      differs.assign(first.size(), false);
      continue;
    }
    for (std::size_t i = 0; i < first.size() && i < below.size(); ++i) differs[i] = differs[i] || first[i] != below[i];
  }
  found.key_dependent = static_cast<std::size_t>(std::count(differs.begin(), differs.end(), true));
  return found;
}

}  // namespace leftovers
