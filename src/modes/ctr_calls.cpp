// The CTR functions. Each encrypt/decrypt pair is one operation under two names:
// counter mode is its own inverse.
//
// The caller's bytearray objects are read before the lock is released and written
// after it is re-taken, from their storage fetched anew. Another thread may resize
// them meanwhile; write-back is all or nothing: every object is checked first, and
// if one no longer fits nothing at all is written (a position is never advanced
// without its output, nor output written without its position). The result object
// is made before anything is written, so a failure to make it changes nothing.
#include "modes/calls.hpp"

#include "binding/gil.hpp"
#include "modes/byteorder.hpp"
#include "modes/ctr.hpp"

#include <format>
#include <vector>

namespace rdz {
namespace {

std::span<std::uint8_t> storage(PyObject* bytearray) noexcept {
  return {reinterpret_cast<std::uint8_t*>(PyByteArray_AS_STRING(bytearray)),
          static_cast<std::size_t>(PyByteArray_GET_SIZE(bytearray))};
}

Failure slice_mismatch(std::size_t source, std::size_t destination) {
  return Failure::fault(std::format(
      "copy_from_slice: source slice length ({}) does not match destination slice length ({})", source,
      destination));
}

Failure index_out_of_bounds(std::size_t length, std::size_t index) {
  return Failure::fault(std::format("index out of bounds: the len is {} but the index is {}", length, index));
}

// The parameters after the first one, shared by the single-stream functions:
// converted in order, then checked.
struct StreamArgs {
  ByteView key;
  PyObject* iv;
  PyObject* state;
};

Outcome<StreamArgs> stream_args(const Bound<4>& bound) {
  auto key = as_bytes(bound[1], "key");
  if (!key) return fail_from(key);
  auto iv = as_bytearray(bound[2], "iv");
  if (!iv) return fail_from(iv);
  auto state = as_bytearray(bound[3], "state");
  if (!state) return fail_from(state);
  if (key->size() != aes256_key_size) return fail(Failure::value_error("Key must be 32 bytes"));
  if (storage(*iv).size() != ctr_counter_size) return fail(Failure::value_error("IV must be 16 bytes"));
  if (storage(*state).empty()) return fail(Failure::value_error("state must not be empty"));
  return StreamArgs{*key, *iv, *state};
}

// Copies the stream position out of the caller's objects (lock held).
Outcome<StreamPosition> read_position(PyObject* iv, PyObject* state) {
  const auto counter = storage(iv);
  if (counter.size() != ctr_counter_size) return fail(slice_mismatch(counter.size(), ctr_counter_size));
  const auto offset = storage(state);
  if (offset.empty()) return fail(index_out_of_bounds(0, 0));
  StreamPosition position{};
  std::memcpy(position.counter.data(), counter.data(), ctr_counter_size);
  position.offset = clamp_offset(offset[0]);
  return position;
}

Outcome<void> check_position_fits(PyObject* iv, PyObject* state) {
  if (const auto n = storage(iv).size(); n != ctr_counter_size) return fail(slice_mismatch(ctr_counter_size, n));
  if (storage(state).empty()) return fail(index_out_of_bounds(0, 0));
  return {};
}

void write_position(PyObject* iv, PyObject* state, const StreamPosition& position) noexcept {
  std::memcpy(storage(iv).data(), position.counter.data(), ctr_counter_size);
  storage(state)[0] = static_cast<std::uint8_t>(position.offset);
}

// ---- ctr256_encrypt / ctr256_decrypt: a new bytes object -------------------------

constexpr Signature<4> ctr256_encrypt_signature{"ctr256_encrypt", {"src", "key", "iv", "state"}};
constexpr Signature<4> ctr256_decrypt_signature{"ctr256_decrypt", {"src", "key", "iv", "state"}};

Outcome<Owned> ctr256_call(const Signature<4>& signature, CallArgs call) {
  auto bound = bind(signature, call);
  if (!bound) return fail_from(bound);
  auto src = as_bytes((*bound)[0], "src");
  if (!src) return fail_from(src);
  auto args = stream_args(*bound);
  if (!args) return fail_from(args);
  const auto [key, iv, state] = *args;

  // The result starts as a copy of `src` and is transformed in its own storage: no
  // other code can see it before it is returned, so it may be written without the lock.
  auto result = new_writable_bytes(src->size());
  if (!result) return result;
  std::span<std::uint8_t> text = writable_storage(*result);
  if (!text.empty()) std::memcpy(text.data(), src->data(), text.size());
  const auto key_copy = copy_fixed<aes256_key_size>(key);
  auto position = [&] {
    CallerObjectsLock lock(iv, state);
    return read_position(iv, state);
  }();
  if (!position) return fail_from(position);

  without_gil([&] {
    const Aes256Encrypt cipher(key_copy);
    ctr256_apply(text, cipher, *position);
  });

  CallerObjectsLock lock(iv, state);
  if (auto fits = check_position_fits(iv, state); !fits) return fail_from(fits);
  write_position(iv, state, *position);
  return result;
}

// ---- ctr256_encrypt_inplace / ctr256_decrypt_inplace: the caller's bytearray -----

constexpr Signature<4> ctr256_encrypt_inplace_signature{"ctr256_encrypt_inplace", {"data", "key", "iv", "state"}};
constexpr Signature<4> ctr256_decrypt_inplace_signature{"ctr256_decrypt_inplace", {"data", "key", "iv", "state"}};

Outcome<Owned> ctr256_inplace_call(const Signature<4>& signature, CallArgs call) {
  auto bound = bind(signature, call);
  if (!bound) return fail_from(bound);
  auto data = as_bytearray((*bound)[0], "data");
  if (!data) return fail_from(data);
  auto args = stream_args(*bound);
  if (!args) return fail_from(args);
  const auto [key, iv, state] = *args;

  std::vector<std::uint8_t> text;
  auto position = [&] {
    CallerObjectsLock lock(iv, state, *data);
    const auto original = storage(*data);
    text.assign(original.begin(), original.end());
    return read_position(iv, state);
  }();
  if (!position) return fail_from(position);
  const auto key_copy = copy_fixed<aes256_key_size>(key);

  without_gil([&] {
    const Aes256Encrypt cipher(key_copy);
    ctr256_apply(text, cipher, *position);
  });

  CallerObjectsLock lock(iv, state, *data);
  const auto target = storage(*data);
  if (target.size() != text.size()) return fail(slice_mismatch(text.size(), target.size()));
  if (auto fits = check_position_fits(iv, state); !fits) return fail_from(fits);
  if (!text.empty()) std::memcpy(target.data(), text.data(), text.size());
  write_position(iv, state, *position);
  return Owned::take(Py_None);
}

// ---- ctr256_encrypt_batch / ctr256_decrypt_batch: many streams, one key ---------

constexpr Signature<5> ctr256_encrypt_batch_signature{"ctr256_encrypt_batch",
                                                      {"data_flat", "sizes", "key", "ivs", "states"}};
constexpr Signature<5> ctr256_decrypt_batch_signature{"ctr256_decrypt_batch",
                                                      {"data_flat", "sizes", "key", "ivs", "states"}};

// Item k spans bytes bounds[k] .. bounds[k + 1] of the flat buffer.
Outcome<std::vector<std::uint64_t>> item_bounds(std::span<const std::uint8_t> sizes, std::size_t items,
                                                std::size_t available) {
  std::vector<std::uint64_t> bounds(items + 1);
  for (std::size_t k = 0; k < items; ++k) {
    const std::uint64_t size = load_le32(sizes.data() + 4 * k);
    if (__builtin_add_overflow(bounds[k], size, &bounds[k + 1])) {
      return fail(Failure::value_error("total data size overflow"));
    }
  }
  if (bounds[items] > available) return fail(Failure::value_error("data_flat too short for given sizes"));
  return bounds;
}

// Positions are written item by item, counter block then offset; the first item
// that no longer fits decides which object's fault is reported.
Outcome<void> check_positions_fit(PyObject* ivs, PyObject* states, std::size_t items) {
  const std::size_t ivs_length = storage(ivs).size();
  const std::size_t states_length = storage(states).size();
  const std::size_t ivs_fit = ivs_length / ctr_counter_size;  // first item whose block does not fit
  if (ivs_fit < items && ivs_fit <= states_length) {
    return fail(Failure::fault(std::format("range end index 16 out of range for slice of length {}",
                                           ivs_length - ivs_fit * ctr_counter_size)));
  }
  if (states_length < items) return fail(index_out_of_bounds(states_length, states_length));
  return {};
}

Outcome<Owned> ctr256_batch_call(const Signature<5>& signature, CallArgs call) {
  auto bound = bind(signature, call);
  if (!bound) return fail_from(bound);
  auto data_flat = as_bytes((*bound)[0], "data_flat");
  if (!data_flat) return fail_from(data_flat);
  auto sizes = as_bytearray((*bound)[1], "sizes");
  if (!sizes) return fail_from(sizes);
  auto key = as_bytes((*bound)[2], "key");
  if (!key) return fail_from(key);
  auto ivs = as_bytearray((*bound)[3], "ivs");
  if (!ivs) return fail_from(ivs);
  auto states = as_bytearray((*bound)[4], "states");
  if (!states) return fail_from(states);

  if (key->size() != aes256_key_size) return fail(Failure::value_error("Key must be 32 bytes"));

  struct Work {
    std::vector<std::uint64_t> bounds;
    std::vector<StreamPosition> positions;
  };
  // The checks and copies of the caller's objects, under their locks.
  auto gathered = [&]() -> Outcome<Work> {
    CallerObjectsLock lock(*ivs, *states, *sizes);
    const auto counters = storage(*ivs);
    const auto offsets = storage(*states);
    const std::size_t items = offsets.size();
    if (items == 0) return Work{};
    if (counters.size() != ctr_counter_size * items) return fail(Failure::value_error("ivs must be 16*n bytes"));
    if (storage(*sizes).size() != 4 * items) return fail(Failure::value_error("sizes must be 4*n bytes"));
    auto bounds = item_bounds(storage(*sizes), items, data_flat->size());
    if (!bounds) return fail_from(bounds);
    std::vector<StreamPosition> positions(items);
    for (std::size_t k = 0; k < items; ++k) {
      std::memcpy(positions[k].counter.data(), counters.data() + ctr_counter_size * k, ctr_counter_size);
      positions[k].offset = clamp_offset(offsets[k]);
    }
    return Work{std::move(*bounds), std::move(positions)};
  }();
  if (!gathered) return fail_from(gathered);
  auto& [bounds, positions] = *gathered;
  const std::size_t items = positions.size();
  if (items == 0) return new_bytes({});  // nothing else is examined

  // As in ctr256_encrypt, the result object's own storage is the working copy.
  auto result = new_writable_bytes(data_flat->size());
  if (!result) return result;
  std::span<std::uint8_t> text = writable_storage(*result);
  if (!text.empty()) std::memcpy(text.data(), data_flat->data(), text.size());
  const auto key_copy = copy_fixed<aes256_key_size>(*key);

  without_gil([&] {
    const Aes256Encrypt cipher(key_copy);
    for (std::size_t k = 0; k < items; ++k) {
      const auto begin = static_cast<std::size_t>(bounds[k]);
      ctr256_apply(text.subspan(begin, static_cast<std::size_t>(bounds[k + 1]) - begin), cipher, positions[k]);
    }
  });

  CallerObjectsLock lock(*ivs, *states);
  if (auto fits = check_positions_fit(*ivs, *states, items); !fits) return fail_from(fits);
  const auto counters = storage(*ivs);
  const auto offsets = storage(*states);
  for (std::size_t k = 0; k < items; ++k) {
    std::memcpy(counters.data() + ctr_counter_size * k, positions[k].counter.data(), ctr_counter_size);
    offsets[k] = static_cast<std::uint8_t>(positions[k].offset);
  }
  return result;
}

}  // namespace

Outcome<Owned> ctr256_encrypt(CallArgs call) { return ctr256_call(ctr256_encrypt_signature, call); }
Outcome<Owned> ctr256_decrypt(CallArgs call) { return ctr256_call(ctr256_decrypt_signature, call); }
Outcome<Owned> ctr256_encrypt_inplace(CallArgs call) {
  return ctr256_inplace_call(ctr256_encrypt_inplace_signature, call);
}
Outcome<Owned> ctr256_decrypt_inplace(CallArgs call) {
  return ctr256_inplace_call(ctr256_decrypt_inplace_signature, call);
}
Outcome<Owned> ctr256_encrypt_batch(CallArgs call) { return ctr256_batch_call(ctr256_encrypt_batch_signature, call); }
Outcome<Owned> ctr256_decrypt_batch(CallArgs call) { return ctr256_batch_call(ctr256_decrypt_batch_signature, call); }

}  // namespace rdz
