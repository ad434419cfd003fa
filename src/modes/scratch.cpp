#include "modes/scratch.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

namespace rdz {
namespace {

struct ScratchSlot {
  ScratchBuffer retained;  // capacity 0: none
  ~ScratchSlot();
};

// Trivially destructible, so it stays readable while the slot below is destroyed.
thread_local bool slot_torn_down = false;
thread_local ScratchSlot slot;

ScratchSlot::~ScratchSlot() { slot_torn_down = true; }

}  // namespace

ScratchBuffer::ScratchBuffer(ScratchBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      capacity_(std::exchange(other.capacity_, 0)),
      length_(std::exchange(other.length_, 0)) {}

ScratchBuffer& ScratchBuffer::operator=(ScratchBuffer&& other) noexcept {
  if (this != &other) {
    PyMem_RawFree(data_);
    data_ = std::exchange(other.data_, nullptr);
    capacity_ = std::exchange(other.capacity_, 0);
    length_ = std::exchange(other.length_, 0);
  }
  return *this;
}

ScratchBuffer::~ScratchBuffer() { PyMem_RawFree(data_); }

std::uint8_t* ScratchBuffer::reserve_tail(std::size_t n) {
  if (capacity_ - length_ < n) {
    if (n > SIZE_MAX / 2 - length_) throw std::bad_alloc();
    const std::size_t wanted = std::max({capacity_ * 2, length_ + n, std::size_t{8}});
    // Contents survive growth; the common case (an empty buffer) copies nothing.
    auto* grown = static_cast<std::uint8_t*>(length_ ? PyMem_RawRealloc(data_, wanted) : PyMem_RawMalloc(wanted));
    if (!grown) throw std::bad_alloc();
    if (!length_) PyMem_RawFree(data_);
    data_ = grown;
    capacity_ = wanted;
  }
  return data_ + length_;
}

std::span<std::uint8_t> ScratchBuffer::append(std::span<const std::uint8_t> bytes) {
  std::uint8_t* tail = reserve_tail(bytes.size());
  if (!bytes.empty()) std::memcpy(tail, bytes.data(), bytes.size());
  length_ += bytes.size();
  return {tail, bytes.size()};
}

std::span<std::uint8_t> ScratchBuffer::append_zeroed(std::size_t n) {
  std::uint8_t* tail = reserve_tail(n);
  if (n) std::memset(tail, 0, n);
  length_ += n;
  return {tail, n};
}

Outcome<ScratchLease> ScratchLease::take() {
  if (slot_torn_down) return fail(Failure::fault("scratch buffer taken while its thread is ending"));
  ScratchBuffer buffer = std::move(slot.retained);
  buffer.clear();
  return ScratchLease(std::move(buffer));
}

Outcome<void> ScratchLease::give_back() && {
  if (slot_torn_down) return fail(Failure::fault("scratch buffer returned while its thread is ending"));
  if (buffer_.capacity() > scratch_retention_limit) return {};  // freed with the lease
  slot.retained = std::move(buffer_);  // frees whatever the slot held
  return {};
}

}  // namespace rdz
