// The CTR functions.
//
// The caller's bytearray objects are read before the lock is released and written
// after it is re-taken, from their storage fetched anew. Another thread may resize
// them meanwhile; write-back is all or nothing: every object is checked first, and
// if one no longer fits nothing at all is written (a position is never advanced
// without its output, nor output written without its position). The result object
// is made before anything is written, so a failure to make it changes nothing.
#include "modes/ctr_calls.hpp"

#include "binding/caller_lock.hpp"
#include "binding/gil.hpp"
#include "lib/byteorder.hpp"
#include "lib/heap.hpp"
#include "lib/timing.hpp"
#include "modes/aes_path.hpp"
#include "modes/ctr.hpp"

#include <cstring>
#include <optional>

namespace rdz {
namespace {

// A caller's bytearray's storage: only while its length cannot change (under a
// CallerObjectsLock or a PinnedLength).
std::span<std::uint8_t> storage(PyObject* bytearray) noexcept {
  return {reinterpret_cast<std::uint8_t*>(PyByteArray_AS_STRING(bytearray)),
          static_cast<std::size_t>(PyByteArray_GET_SIZE(bytearray))};
}

// A caller's bytearray's length, read without its lock: on a free-threaded build
// PyByteArray_GET_SIZE is an atomic load. It may change right after; what is read or
// written later is checked again under the lock.
std::size_t length(PyObject* bytearray) noexcept { return static_cast<std::size_t>(PyByteArray_GET_SIZE(bytearray)); }

// A caller's bytearray that changed size while the call worked is not an input
// error but a broken assumption of the call, so it is a fault (PanicException, which
// `except Exception` does not swallow). The texts are part of the module's interface
// and callers match on them, so they keep the wording of the slice operation that
// fails: "source" is what is copied from, "destination" what is copied into. On
// write-back the source is the call's own copy and the destination the caller's
// object, so the caller's new length comes second; a copy out of a caller's object
// that shrank under us (possible only without the global lock) names it first.
Failure slice_mismatch(std::size_t source, std::size_t destination,
                       std::source_location where = std::source_location::current()) {
  return Failure::fault_formatted(
      where, "copy_from_slice: source slice length (%zu) does not match destination slice length (%zu)", source,
      destination);
}

Failure index_out_of_bounds(std::size_t length, std::size_t index,
                            std::source_location where = std::source_location::current()) {
  return Failure::fault_formatted(where, "index out of bounds: the len is %zu but the index is %zu", length, index);
}

// The key is read in place inside the window without the lock, in every function
// here: a bytes object never changes, and the caller's reference keeps it alive until
// the call returns. So no copy of it is made that would have to be wiped.

// The checks of the stream parameters shared by the single-stream functions.
Outcome<void> check_stream(ByteView key, PyObject* iv, PyObject* state) {
  if (key.size() != aes256_key_size) return fail(Failure::value_error("Key must be 32 bytes"));
  if (length(iv) != ctr_counter_size) return fail(Failure::value_error("IV must be 16 bytes"));
  if (length(state) == 0) return fail(Failure::value_error("state must not be empty"));
  return {};
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

using CtrSignature = Signature<Bytes, Bytes, ByteArray, ByteArray>;
constexpr CtrSignature ctr256_encrypt_signature{"ctr256_encrypt", {"src", "key", "iv", "state"}};
constexpr CtrSignature ctr256_decrypt_signature{"ctr256_decrypt", {"src", "key", "iv", "state"}};

Outcome<Owned> ctr256_call(const CtrSignature& signature, CallArgs call) {
  auto arguments = bind_arguments(signature, call);
  if (!arguments) return fail_from(arguments);
  const auto& [src, key, iv, state] = *arguments;
  if (auto ok = check_stream(key, iv, state); !ok) return fail_from(ok);
  auto aes = aes_path();
  if (!aes) return fail_from(aes);

  // One pass, as in ige256_*: `src` is read in place and the result written straight
  // into its fresh storage, both without the lock (a bytes object never changes, the
  // caller's reference keeps it alive, and no other code sees the result before it
  // is returned).
  auto result = new_writable_bytes(src.size());
  if (!result) return result;
  const std::span<std::uint8_t> out = writable_storage(*result);
  auto position = [&] {
    CallerObjectsLock lock(iv, state);
    return read_position(iv, state);
  }();
  if (!position) return fail_from(position);

  without_gil([&] {
    const DataIndependentTiming timing;
    const Aes256Encrypt cipher(*aes, key.first<aes256_key_size>());
    ctr256_apply(src, out, cipher, *position);
  });

  CallerObjectsLock lock(iv, state);
  if (auto fits = check_position_fits(iv, state); !fits) return fail_from(fits);
  write_position(iv, state, *position);
  return result;
}

// ---- ctr256_encrypt_inplace / ctr256_decrypt_inplace: the caller's bytearray -----

using CtrInplaceSignature = Signature<ByteArray, Bytes, ByteArray, ByteArray>;
constexpr CtrInplaceSignature ctr256_encrypt_inplace_signature{"ctr256_encrypt_inplace",
                                                               {"data", "key", "iv", "state"}};
constexpr CtrInplaceSignature ctr256_decrypt_inplace_signature{"ctr256_decrypt_inplace",
                                                               {"data", "key", "iv", "state"}};

Outcome<Owned> ctr256_inplace_call(const CtrInplaceSignature& signature, CallArgs call) {
  auto arguments = bind_arguments(signature, call);
  if (!arguments) return fail_from(arguments);
  const auto& [data, key, iv, state] = *arguments;
  if (auto ok = check_stream(key, iv, state); !ok) return fail_from(ok);
  auto aes = aes_path();
  if (!aes) return fail_from(aes);

  struct Copied {
    HeapArray<std::uint8_t> text;
    StreamPosition position;
  };
  auto copied = [&]() -> Outcome<Copied> {
    const PinnedLength pin(data);
    if (!pin) return fail(Failure::fetched());
    CallerObjectsLock lock(iv, state);
    const auto original = storage(data);
    auto text = HeapArray<std::uint8_t>::make(original.size());
    if (!text) return fail_from(text);
    if (!original.empty()) std::memcpy(text->span().data(), original.data(), original.size());
    auto position = read_position(iv, state);
    if (!position) return fail_from(position);
    return Copied{std::move(*text), *position};
  }();
  if (!copied) return fail_from(copied);

  without_gil([&] {
    const DataIndependentTiming timing;
    const Aes256Encrypt cipher(*aes, key.first<aes256_key_size>());
    ctr256_apply(copied->text.span(), cipher, copied->position);
  });

  const PinnedLength pin(data);
  if (!pin) return fail(Failure::fetched());
  CallerObjectsLock lock(iv, state);
  const auto text = copied->text.span();
  const auto target = storage(data);
  if (target.size() != text.size()) return fail(slice_mismatch(text.size(), target.size()));
  if (auto fits = check_position_fits(iv, state); !fits) return fail_from(fits);
  if (!text.empty()) std::memcpy(target.data(), text.data(), text.size());
  write_position(iv, state, copied->position);
  return Owned::take(Py_None);
}

// ---- ctr256_encrypt_batch / ctr256_decrypt_batch: many streams, one key ---------

using CtrBatchSignature = Signature<Bytes, ByteArray, Bytes, ByteArray, ByteArray>;
constexpr CtrBatchSignature ctr256_encrypt_batch_signature{"ctr256_encrypt_batch",
                                                           {"data_flat", "sizes", "key", "ivs", "states"}};
constexpr CtrBatchSignature ctr256_decrypt_batch_signature{"ctr256_decrypt_batch",
                                                           {"data_flat", "sizes", "key", "ivs", "states"}};

// Item k spans bytes bounds[k] .. bounds[k + 1] of the flat buffer.
Outcome<HeapArray<std::uint64_t>> item_bounds(std::span<const std::uint8_t> sizes, std::size_t items,
                                              std::size_t available) {
  auto bounds = HeapArray<std::uint64_t>::make(items + 1);
  if (!bounds) return bounds;
  auto& b = *bounds;
  b[0] = 0;
  for (std::size_t k = 0; k < items; ++k) {
    const std::uint64_t size = load_le32(sizes.data() + 4 * k);
    if (__builtin_add_overflow(b[k], size, &b[k + 1])) return fail(Failure::value_error("total data size overflow"));
  }
  if (b[items] > available) return fail(Failure::value_error("data_flat too short for given sizes"));
  return bounds;
}

// Positions are written item by item, counter block then offset; the first item
// that no longer fits decides which object's fault is reported, with the text that
// writing item by item would have met there.
Outcome<void> check_positions_fit(PyObject* ivs, PyObject* states, std::size_t items) {
  const std::size_t ivs_length = storage(ivs).size();
  const std::size_t states_length = storage(states).size();
  const std::size_t ivs_fit = ivs_length / ctr_counter_size;  // first item whose block does not fit
  if (ivs_fit < items && ivs_fit <= states_length) {
    return fail(Failure::fault_formatted(std::source_location::current(),
                                         "range end index 16 out of range for slice of length %zu",
                                         ivs_length - ivs_fit * ctr_counter_size));
  }
  if (states_length < items) return fail(index_out_of_bounds(states_length, states_length));
  return {};
}

struct Batch {
  HeapArray<std::uint64_t> bounds;
  HeapArray<StreamPosition> positions;
};

// The checks and copies of the caller's objects, under the lock of `ivs` and
// `states`, with `sizes` pinned. No items (an empty `states`) is no work at all:
// nothing else is examined.
Outcome<std::optional<Batch>> gather(ByteView data_flat, PyObject* sizes, PyObject* ivs, PyObject* states) {
  const PinnedLength pin(sizes);
  if (!pin) return fail(Failure::fetched());
  CallerObjectsLock lock(ivs, states);
  const auto counters = storage(ivs);
  const auto offsets = storage(states);
  const std::size_t items = offsets.size();
  if (items == 0) return std::nullopt;
  if (counters.size() != ctr_counter_size * items) return fail(Failure::value_error("ivs must be 16*n bytes"));
  if (storage(sizes).size() != 4 * items) return fail(Failure::value_error("sizes must be 4*n bytes"));
  auto bounds = item_bounds(storage(sizes), items, data_flat.size());
  if (!bounds) return fail_from(bounds);
  auto positions = HeapArray<StreamPosition>::make(items);
  if (!positions) return fail_from(positions);
  for (std::size_t k = 0; k < items; ++k) {
    std::memcpy((*positions)[k].counter.data(), counters.data() + ctr_counter_size * k, ctr_counter_size);
    (*positions)[k].offset = clamp_offset(offsets[k]);
  }
  return Batch{std::move(*bounds), std::move(*positions)};
}

Outcome<Owned> ctr256_batch_call(const CtrBatchSignature& signature, CallArgs call) {
  auto arguments = bind_arguments(signature, call);
  if (!arguments) return fail_from(arguments);
  const auto& [data_flat, sizes, key, ivs, states] = *arguments;
  if (key.size() != aes256_key_size) return fail(Failure::value_error("Key must be 32 bytes"));

  auto gathered = gather(data_flat, sizes, ivs, states);
  if (!gathered) return fail_from(gathered);
  if (!*gathered) return new_bytes({});
  auto aes = aes_path();
  if (!aes) return fail_from(aes);
  auto& [bounds, positions] = **gathered;
  const std::size_t items = positions.size();

  // One pass, as in ctr256_encrypt: each item from `data_flat` in place into the
  // result's storage, and the bytes after the last item copied as they are.
  auto result = new_writable_bytes(data_flat.size());
  if (!result) return result;
  const std::span<std::uint8_t> out = writable_storage(*result);

  without_gil([&] {
    const DataIndependentTiming timing;
    const Aes256Encrypt cipher(*aes, key.first<aes256_key_size>());
    for (std::size_t k = 0; k < items; ++k) {
      const auto begin = static_cast<std::size_t>(bounds[k]);
      const auto size = static_cast<std::size_t>(bounds[k + 1]) - begin;
      ctr256_apply(data_flat.subspan(begin, size), out.subspan(begin, size), cipher, positions[k]);
    }
    const auto end = static_cast<std::size_t>(bounds[items]);
    if (end != out.size()) std::memcpy(out.data() + end, data_flat.data() + end, out.size() - end);
  });

  CallerObjectsLock lock(ivs, states);
  if (auto fits = check_positions_fit(ivs, states, items); !fits) return fail_from(fits);
  const auto counters = storage(ivs);
  const auto offsets = storage(states);
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
