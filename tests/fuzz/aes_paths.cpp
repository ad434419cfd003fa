// Fuzz target `aes`: every AES backend this processor runs, through its table,
// against Nettle's block function chained by hand (aes_reference.hpp). The input
// chooses the key, the IGE vector, the CTR counter (any, or just below the carry out
// of the low 64 bits or the wrap of the whole block), the number of blocks, the data,
// in place or not, and how far the buffers are from an aligned address. Each backend
// runs IGE both ways and CTR over the same data; any byte or counter that differs
// from the reference is a finding.
//
// Input: key (32) | IGE vector (32) | counter (kind, distance, 16 bytes) |
//        placement (bit 0: in place; bits 1-4: misalignment) | blocks (2, LE) | data
#include "aes_reference.hpp"

#include <span>

namespace {

using namespace fuzz;

constexpr std::size_t max_blocks = 512;  // past the widest backend's groups (32 blocks), many times

struct Case {
  Key key;
  std::array<std::uint8_t, 32> iv;
  Block counter;
  bool in_place;
  std::size_t misalignment;
  std::vector<std::uint8_t> data;
};

Case read_case(Input& input) {
  Case c;
  c.key = input.array<32>();
  c.iv = input.array<32>();
  c.counter = counter_from(input);
  const std::uint8_t placement = input.byte();
  c.in_place = placement & 1;
  c.misalignment = placement >> 1 & 15;
  const std::size_t blocks = input.number<std::uint16_t>() % (max_blocks + 1);
  c.data = input.data(16 * blocks);
  return c;
}

// A buffer whose end is the end of its heap block (AddressSanitizer sees a write past
// it) and whose start is `misalignment` bytes past an aligned address.
class Buffer {
 public:
  Buffer(std::span<const std::uint8_t> bytes, std::size_t misalignment)
      : storage_(misalignment + bytes.size()), misalignment_(misalignment) {
    std::copy(bytes.begin(), bytes.end(), data());
  }
  std::uint8_t* data() { return storage_.data() + misalignment_; }
  std::span<const std::uint8_t> bytes() const { return std::span(storage_).subspan(misalignment_); }

 private:
  std::vector<std::uint8_t> storage_;
  std::size_t misalignment_;
};

// Runs `operation(in, out)` in place or from a copy of the input to a second buffer;
// returns the output.
template <class Operation>
std::vector<std::uint8_t> run(const Case& c, Operation operation) {
  Buffer out(c.data, c.misalignment);
  if (c.in_place) {
    operation(out.data(), out.data());
  } else {
    Buffer in(c.data, (c.misalignment + 5) % 16);
    operation(in.data(), out.data());
    if (!std::ranges::equal(in.bytes(), c.data)) finding("an out-of-place call wrote to its input");
  }
  return {out.bytes().begin(), out.bytes().end()};
}

void expect_same(const rdz::AesBackend& backend, const char* what, const Case& c, const std::vector<std::uint8_t>& got,
                 const std::vector<std::uint8_t>& expected) {
  if (got == expected) return;
  print_block("counter ", c.counter);
  finding("%s %s, %zu blocks, %s: first wrong byte at %zu", backend.name, what, c.data.size() / 16,
          c.in_place ? "in place" : "out of place", first_difference(got.data(), expected.data(), got.size()));
}

void check_backend(const rdz::AesBackend& backend, const Case& c, const NettleKeys& nettle) {
  rdz::AesSchedule encrypt, decrypt;
  backend.expand_encrypt(c.key.data(), encrypt);
  backend.expand_decrypt(c.key.data(), decrypt);
  const std::size_t blocks = c.data.size() / 16;

  expect_same(backend, "IGE encryption", c,
              run(c, [&](const std::uint8_t* in, std::uint8_t* out) {
                backend.ige_encrypt(encrypt, in, out, blocks, c.iv.data());
              }),
              ige_reference(nettle, false, c.iv.data(), c.data));
  expect_same(backend, "IGE decryption", c,
              run(c, [&](const std::uint8_t* in, std::uint8_t* out) {
                backend.ige_decrypt(decrypt, in, out, blocks, c.iv.data());
              }),
              ige_reference(nettle, true, c.iv.data(), c.data));

  Block next = c.counter;
  std::vector<std::uint8_t> expected(c.data.size());
  ctr_reference(nettle, next, 0, c.data.data(), expected.data(), c.data.size());
  std::uint64_t high = 0, low = 0;
  for (int i = 0; i < 8; ++i) {
    high = high << 8 | c.counter[i];
    low = low << 8 | c.counter[8 + i];
  }
  expect_same(backend, "CTR", c,
              run(c, [&](const std::uint8_t* in, std::uint8_t* out) {
                backend.ctr_xor(encrypt, high, low, in, out, blocks);
              }),
              expected);
  Block advanced;
  for (int i = 0; i < 8; ++i) {
    advanced[i] = static_cast<std::uint8_t>(high >> (56 - 8 * i));
    advanced[8 + i] = static_cast<std::uint8_t>(low >> (56 - 8 * i));
  }
  if (advanced != next) {
    print_block("from     ", c.counter);
    print_block("advanced ", advanced);
    print_block("expected ", next);
    finding("%s CTR over %zu blocks advanced the counter wrongly", backend.name, blocks);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::vector<const rdz::AesBackend*> backends = runnable_backends();
  Input input(data, size);
  const Case c = read_case(input);
  const NettleKeys nettle(c.key);
  for (const rdz::AesBackend* backend : backends) check_backend(*backend, c, nettle);
  return 0;
}
