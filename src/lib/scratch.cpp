#include "lib/scratch.hpp"

#include "lib/secret.hpp"

#include <algorithm>
#include <cstring>
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
}  // namespace rdz

#if defined(__GLIBC__)
// A thread_local object with a destructor makes the compiler register that
// destructor at the thread's first use through `__cxa_thread_atexit`, which lives in
// the C++ runtime library (libstdc++) and only forwards to the C library. Forwarding
// here instead keeps the module free of the C++ runtime: glibc has provided
// `__cxa_thread_atexit_impl` since 2.18. Hidden, so no other module can bind to it.
extern "C" int __cxa_thread_atexit_impl(void (*destructor)(void*), void* object, void* dso_handle) noexcept;
extern "C" __attribute__((visibility("hidden"))) int __cxa_thread_atexit(void (*destructor)(void*), void* object,
                                                                         void* dso_handle) noexcept {
  return __cxa_thread_atexit_impl(destructor, object, dso_handle);
}
#endif

namespace rdz {

ScratchBuffer::ScratchBuffer(ScratchBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      capacity_(std::exchange(other.capacity_, 0)),
      length_(std::exchange(other.length_, 0)) {}

ScratchBuffer& ScratchBuffer::operator=(ScratchBuffer&& other) noexcept {
  if (this != &other) {
    release();
    data_ = std::exchange(other.data_, nullptr);
    capacity_ = std::exchange(other.capacity_, 0);
    length_ = std::exchange(other.length_, 0);
  }
  return *this;
}

ScratchBuffer::~ScratchBuffer() { release(); }

void ScratchBuffer::wipe() noexcept {
  if (length_ != 0) secure_wipe(data_, length_);
  length_ = 0;
}

void ScratchBuffer::release() noexcept {
  wipe();
  PyMem_RawFree(data_);
  data_ = nullptr;
  capacity_ = 0;
}

bool ScratchBuffer::reserve(std::size_t n) noexcept {
  if (capacity_ - length_ < n) {
    if (n > SIZE_MAX / 2 - length_) return false;
    const std::size_t wanted = std::max({capacity_ * 2, length_ + n, std::size_t{8}});
    // Contents survive growth, and the old block is wiped before it is freed (a
    // reallocation could free it with the contents in it); the common case (an
    // empty buffer) copies nothing.
    auto* grown = static_cast<std::uint8_t*>(PyMem_RawMalloc(wanted));
    if (!grown) return false;
    if (length_ != 0) std::memcpy(grown, data_, length_);
    const std::size_t kept = length_;
    release();
    data_ = grown;
    capacity_ = wanted;
    length_ = kept;
  }
  return true;
}

Outcome<std::span<std::uint8_t>> ScratchBuffer::append(std::span<const std::uint8_t> bytes) {
  if (!reserve(bytes.size())) return fail(Failure::out_of_memory());
  std::uint8_t* tail = data_ + length_;
  if (!bytes.empty()) std::memcpy(tail, bytes.data(), bytes.size());
  length_ += bytes.size();
  return std::span<std::uint8_t>(tail, bytes.size());
}

Outcome<ScratchLease> ScratchLease::take() {
  if (slot_torn_down) return fail(Failure::fault("scratch buffer taken while its thread is ending"));
  return ScratchLease(std::move(slot.retained));
}

Outcome<void> ScratchLease::give_back() && {
  if (slot_torn_down) return fail(Failure::fault("scratch buffer returned while its thread is ending"));
  if (buffer_.capacity() > scratch_retention_limit) return {};  // wiped and freed with the lease
  buffer_.wipe();  // what this call decrypted must not outlive it
  slot.retained = std::move(buffer_);  // frees whatever the slot held
  return {};
}

}  // namespace rdz
