// A plain AES-256 written from FIPS 197, round by round, that records every value a
// call computes: the expanded key (as words and as round keys, for encryption and for
// the equivalent inverse cipher), the state after each step of each round, and each
// block cipher's input and output. What a backend leaves behind is looked for among
// these (tests/native/leftovers.hpp), so they come from here and not from the backend
// under test. Slow and simple on purpose: the S-box is computed from its definition
// (the inverse in GF(2^8), then the affine map), not copied from a table.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace aes_model {

using Block = std::array<std::uint8_t, 16>;

inline std::uint8_t times(std::uint8_t a, std::uint8_t b) {
  std::uint8_t product = 0;
  for (; b != 0; b >>= 1) {
    if (b & 1) product ^= a;
    a = static_cast<std::uint8_t>((a << 1) ^ (a & 0x80 ? 0x1b : 0));
  }
  return product;
}

struct Sboxes {
  std::uint8_t forward[256], inverse[256];
  Sboxes() {
    for (int x = 0; x < 256; ++x) {
      std::uint8_t inverse_of_x = 0;
      for (int y = 1; y < 256 && x != 0; ++y) {
        if (times(static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(y)) == 1) inverse_of_x = static_cast<std::uint8_t>(y);
      }
      std::uint8_t s = 0x63;
      for (int i = 0; i < 8; ++i) {
        const int bit = (inverse_of_x >> i ^ inverse_of_x >> (i + 4) % 8 ^ inverse_of_x >> (i + 5) % 8 ^
                         inverse_of_x >> (i + 6) % 8 ^ inverse_of_x >> (i + 7) % 8) & 1;
        s ^= static_cast<std::uint8_t>(bit << i);
      }
      forward[x] = s;
      inverse[s] = static_cast<std::uint8_t>(x);
    }
  }
};

inline const Sboxes& sboxes() {
  static const Sboxes tables;
  return tables;
}

// Byte 4c + r of a block is row r of column c.
inline Block sub_bytes(Block s, bool inverse = false) {
  for (auto& b : s) b = inverse ? sboxes().inverse[b] : sboxes().forward[b];
  return s;
}

// Row r moves r columns left (right when inverse), `times` times.
inline Block shift_rows(const Block& s, int times = 1) {
  Block t;
  for (int c = 0; c < 4; ++c) {
    for (int r = 0; r < 4; ++r) t[4 * c + r] = s[4 * ((c + r * times % 4 + 4) % 4) + r];
  }
  return t;
}

inline Block mix_columns(const Block& s, bool inverse = false) {
  const std::uint8_t m[4] = {2, 3, 1, 1}, inv[4] = {14, 11, 13, 9};
  const std::uint8_t* k = inverse ? inv : m;
  Block t;
  for (int c = 0; c < 4; ++c) {
    for (int r = 0; r < 4; ++r) {
      std::uint8_t v = 0;
      for (int i = 0; i < 4; ++i) v ^= times(s[4 * c + (r + i) % 4], k[i]);
      t[4 * c + r] = v;
    }
  }
  return t;
}

inline Block add(Block a, const Block& b) {
  for (int i = 0; i < 16; ++i) a[i] ^= b[i];
  return a;
}

// Everything a call computed, as 16-byte values.
class Record {
 public:
  // A state, also as it would sit after one, two or three ShiftRows more or fewer:
  // code that does not move bytes for ShiftRows holds its states so.
  void state(const Block& s) {
    for (int k = 0; k < 4; ++k) values_.push_back(shift_rows(s, k));
  }
  void value(const Block& v) { values_.push_back(v); }
  // Everything recorded, in order (a state as four values, the first unshifted).
  const std::vector<Block>& values() const { return values_; }

  // The values sorted, without duplicates and without the all-zero block (which a
  // zeroed stack holds anyway).
  std::vector<Block> sorted() const {
    std::vector<Block> v = values_;
    std::erase_if(v, [](const Block& b) { return std::all_of(b.begin(), b.end(), [](auto x) { return x == 0; }); });
    std::sort(v.begin(), v.end());
    v.erase(std::unique(v.begin(), v.end()), v.end());
    return v;
  }

 private:
  std::vector<Block> values_;
};

class Aes256 {
 public:
  explicit Aes256(const std::uint8_t* key) {
    std::uint32_t w[60];
    for (int i = 0; i < 8; ++i) w[i] = static_cast<std::uint32_t>(key[4 * i]) << 24 | key[4 * i + 1] << 16 | key[4 * i + 2] << 8 | key[4 * i + 3];
    std::uint8_t rcon = 1;
    for (int i = 8; i < 60; ++i) {
      std::uint32_t t = w[i - 1];
      if (i % 8 == 0) {
        t = t << 8 | t >> 24;
        t = sub_word(t) ^ static_cast<std::uint32_t>(rcon) << 24;
        rcon = times(rcon, 2);
      } else if (i % 8 == 4) {
        t = sub_word(t);
      }
      w[i] = w[i - 8] ^ t;
    }
    for (int i = 0; i < 60; ++i) {
      for (int b = 0; b < 4; ++b) words_[4 * i + b] = static_cast<std::uint8_t>(w[i] >> (24 - 8 * b));
    }
    for (int r = 0; r < 15; ++r) std::memcpy(round_[r].data(), words_ + 16 * r, 16);
    // The equivalent inverse cipher's round keys (FIPS 197 5.3.5).
    for (int r = 0; r < 15; ++r) inverse_round_[r] = r == 0 || r == 14 ? round_[r] : mix_columns(round_[r], true);
  }

  // The expanded key: every run of four words (a round key, or two halves of
  // neighbours), and the equivalent inverse cipher's round keys.
  void record_schedule(Record& record) const {
    for (int i = 0; i + 4 <= 60; ++i) {
      Block b;
      std::memcpy(b.data(), words_ + 4 * i, 16);
      record.value(b);
    }
    for (const Block& k : inverse_round_) record.value(k);
  }

  Block encrypt(const Block& in, Record* record = nullptr) const {
    Block s = add(in, round_[0]);
    note(record, s);
    for (int r = 1; r <= 14; ++r) {
      s = sub_bytes(s);
      note(record, s);
      s = shift_rows(s);
      note(record, s);
      if (r < 14) {
        s = mix_columns(s);
        note(record, s);
      }
      s = add(s, round_[r]);
      note(record, s);
    }
    return s;
  }

  // The inverse cipher both ways FIPS 197 writes it (5.3 and 5.3.5): their states
  // between steps differ.
  Block decrypt(const Block& in, Record* record = nullptr) const {
    Block s = add(in, round_[14]);
    note(record, s);
    for (int r = 13; r >= 0; --r) {
      s = shift_rows(s, -1);
      note(record, s);
      s = sub_bytes(s, true);
      note(record, s);
      s = add(s, round_[r]);
      note(record, s);
      if (r > 0) {
        s = mix_columns(s, true);
        note(record, s);
      }
    }
    Block e = add(in, inverse_round_[14]);
    for (int r = 13; r >= 0; --r) {
      e = shift_rows(sub_bytes(e, true), -1);
      if (r > 0) {
        e = mix_columns(e, true);
        note(record, e);
      }
      e = add(e, inverse_round_[r]);
      note(record, e);
    }
    return s;
  }

 private:
  static std::uint32_t sub_word(std::uint32_t w) {
    std::uint32_t out = 0;
    for (int b = 0; b < 4; ++b) out |= static_cast<std::uint32_t>(sboxes().forward[(w >> (8 * b)) & 0xff]) << (8 * b);
    return out;
  }
  static void note(Record* record, const Block& s) {
    if (record) record->state(s);
  }

  std::uint8_t words_[240];
  Block round_[15], inverse_round_[15];
};

// The counter block `blocks` after (high, low), big-endian.
inline Block counter_block(std::uint64_t high, std::uint64_t low, std::uint64_t blocks) {
  const std::uint64_t l = low + blocks, h = high + (l < low);
  Block b;
  for (int i = 0; i < 8; ++i) {
    b[i] = static_cast<std::uint8_t>(h >> (56 - 8 * i));
    b[8 + i] = static_cast<std::uint8_t>(l >> (56 - 8 * i));
  }
  return b;
}

// CTR over `blocks` blocks from (high, low): each block's states and its keystream.
inline void record_ctr(const Aes256& aes, std::uint64_t high, std::uint64_t low, std::size_t blocks, Record& record) {
  for (std::size_t i = 0; i < blocks; ++i) record.value(aes.encrypt(counter_block(high, low, i), &record));
}

// IGE both ways (iv = previous ciphertext block, previous plaintext block): each block
// cipher's input, states and output.
inline void record_ige(const Aes256& aes, bool decrypt, const std::uint8_t* iv, const std::uint8_t* in,
                       std::size_t blocks, Record& record) {
  Block before, after;
  std::memcpy(before.data(), decrypt ? iv + 16 : iv, 16);
  std::memcpy(after.data(), decrypt ? iv : iv + 16, 16);
  for (std::size_t i = 0; i < blocks; ++i) {
    Block input;
    std::memcpy(input.data(), in + 16 * i, 16);
    const Block x = add(input, before);
    record.value(x);
    const Block y = decrypt ? aes.decrypt(x, &record) : aes.encrypt(x, &record);
    record.value(y);
    before = add(y, after);
    after = input;
  }
}

}  // namespace aes_model
