// Fuzz target `stream`: the module's resumable CTR stream (modes/ctr.hpp) on every
// AES backend this processor runs. The input chooses the key, the counter (any, or
// just below a carry out of the low 64 bits or the wrap of the whole block), the
// stored offset byte (0 to 15, or 128 to 255, which mean a fresh block), the data, and a
// split of it into pieces, each in place or not. The stream is applied once over
// the whole data and then piece by piece, each piece a call of its own with a new
// cipher object, as a Python caller makes them, carrying the position along. Both
// must give Nettle's keystream (aes_reference.hpp) and end at the same position.
//
// Input: key (32) | counter (kind, distance, 16 bytes) | offset byte | size (2, LE) |
//        piece count (1) | each piece: length (2, LE; bit 15: in place) | data
#include "aes_reference.hpp"
#include "aes/cipher.hpp"
#include "modes/ctr.hpp"

#include <span>

namespace {

using namespace fuzz;

constexpr std::size_t max_size = 4096;
constexpr std::size_t max_pieces = 24;

struct Piece {
  std::size_t size;
  bool in_place;
};

struct Case {
  Key key;
  Block counter;
  std::uint8_t stored_offset;
  std::vector<Piece> pieces;  // their sizes add up to the data's
  std::vector<std::uint8_t> data;
};

Case read_case(Input& input) {
  Case c;
  c.key = input.array<32>();
  c.counter = counter_from(input);
  // Mostly 0..15; with bit 7 set, the byte as it is (128..255 mean a fresh block).
  const std::uint8_t offset = input.byte();
  c.stored_offset = offset & 0x80 ? offset : offset % 16;
  std::size_t left = input.number<std::uint16_t>() % (max_size + 1);
  const std::size_t size = left;
  const std::size_t count = input.byte() % (max_pieces + 1);
  for (std::size_t i = 0; i < count && left != 0; ++i) {
    const auto field = input.number<std::uint16_t>();
    const std::size_t piece = std::min<std::size_t>(field & 0x7fff, left);
    c.pieces.push_back({piece, (field & 0x8000) != 0});
    left -= piece;
  }
  if (left != 0) c.pieces.push_back({left, false});
  c.data = input.data(size);
  return c;
}

rdz::StreamPosition start(const Case& c) { return {c.counter, rdz::clamp_offset(c.stored_offset)}; }

void check_backend(const rdz::AesBackend& backend, const Case& c, const std::vector<std::uint8_t>& expected,
                   const rdz::StreamPosition& end) {
  const rdz::Aes256Key key(c.key);
  const auto wrong = [&](const char* what, const std::vector<std::uint8_t>& got) {
    print_block("counter ", c.counter);
    finding("%s: %s, %zu bytes from offset byte %u in %zu pieces: first wrong byte at %zu", backend.name, what,
            c.data.size(), c.stored_offset, c.pieces.size(), first_difference(got.data(), expected.data(), got.size()));
  };

  // One call over the whole data, out of place.
  rdz::StreamPosition whole = start(c);
  std::vector<std::uint8_t> once(c.data.size());
  rdz::ctr256_apply(c.data, once, rdz::Aes256Encrypt(backend, key), whole);
  if (once != expected) wrong("one call", once);

  // Piece by piece.
  rdz::StreamPosition carried = start(c);
  std::vector<std::uint8_t> pieces(c.data);
  std::size_t at = 0;
  for (const Piece& piece : c.pieces) {
    const std::span<std::uint8_t> out = std::span(pieces).subspan(at, piece.size);
    const rdz::Aes256Encrypt cipher(backend, key);
    if (piece.in_place) {
      rdz::ctr256_apply(out, cipher, carried);
    } else {
      // Its own heap block, so that a read past the piece is seen.
      const std::vector<std::uint8_t> in(c.data.begin() + static_cast<std::ptrdiff_t>(at),
                                         c.data.begin() + static_cast<std::ptrdiff_t>(at + piece.size));
      rdz::ctr256_apply(in, out, cipher, carried);
    }
    at += piece.size;
  }
  if (pieces != expected) wrong("in pieces", pieces);

  for (const rdz::StreamPosition* got : {&whole, &carried}) {
    if (got->counter != end.counter || got->offset != end.offset) {
      print_block("from     ", c.counter);
      print_block("ended at ", got->counter);
      print_block("expected ", end.counter);
      finding("%s: %s, %zu bytes from offset byte %u in %zu pieces: offset %u, expected %u", backend.name,
              got == &whole ? "one call ended at the wrong position" : "the pieces ended at the wrong position",
              c.data.size(), c.stored_offset, c.pieces.size(), got->offset, end.offset);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::vector<const rdz::AesBackend*> backends = runnable_backends();
  Input input(data, size);
  const Case c = read_case(input);
  const NettleKeys nettle(c.key);
  rdz::StreamPosition end = start(c);
  std::vector<std::uint8_t> expected(c.data.size());
  end.offset = ctr_reference(nettle, end.counter, end.offset, c.data.data(), expected.data(), c.data.size());
  for (const rdz::AesBackend* backend : backends) check_backend(*backend, c, expected, end);
  return 0;
}
