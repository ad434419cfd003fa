// The per-thread scratch buffer.
//
// Each thread keeps at most one working buffer between calls, so that unpack_message
// (which decrypts and verifies there before it exposes anything) needs no allocation
// once it has grown to its input size. A call takes
// the whole buffer (the thread's slot is then empty), uses it, and gives it back
// after its result object exists. A buffer whose capacity exceeds 2 MiB is freed
// rather than kept, which bounds what an idle thread holds. A thread's buffer is
// freed when the thread ends. What a call wrote (a decrypted message) is overwritten
// with zeros before the buffer goes back to its slot or is freed, so no plaintext
// outlives the call that produced it.
//
// The memory comes from the interpreter's raw allocator (which needs no lock), so
// tracemalloc sees it.
#pragma once

#include "binding/failure.hpp"

#include <cstddef>
#include <cstdint>
#include <span>

namespace rdz {

inline constexpr std::size_t scratch_retention_limit = 2 * 1024 * 1024;

class ScratchBuffer {
 public:
  ScratchBuffer() noexcept = default;
  ScratchBuffer(ScratchBuffer&& other) noexcept;
  ScratchBuffer& operator=(ScratchBuffer&& other) noexcept;
  ~ScratchBuffer();

  // Appends a copy of `bytes` and returns the appended region; memory exhausted if
  // the growth cannot be allocated (the buffer is then unchanged).
  Outcome<std::span<std::uint8_t>> append(std::span<const std::uint8_t> bytes);

  std::span<std::uint8_t> contents() noexcept { return {data_, length_}; }
  std::size_t capacity() const noexcept { return capacity_; }
  // Overwrites the contents with zeros and empties the buffer; the capacity stays.
  void wipe() noexcept;

 private:
  // Wipes the contents and frees the memory.
  void release() noexcept;

  // Makes room for `n` more bytes; false if the growth cannot be allocated.
  bool reserve(std::size_t n) noexcept;

  std::uint8_t* data_ = nullptr;
  std::size_t capacity_ = 0;
  std::size_t length_ = 0;
};

// A call's hold on its thread's buffer. Destroyed without `give_back()` (an error,
// an exception) it frees the buffer, so a failed call never leaves one behind.
class ScratchLease {
 public:
  static Outcome<ScratchLease> take();

  ScratchBuffer& buffer() noexcept { return buffer_; }
  // Back to the thread's slot, or freed when over the retention limit.
  Outcome<void> give_back() &&;

 private:
  explicit ScratchLease(ScratchBuffer buffer) noexcept : buffer_(std::move(buffer)) {}
  ScratchBuffer buffer_;
};

}  // namespace rdz
