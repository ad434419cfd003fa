// Working memory of one call that is not the scratch buffer: an array of plain
// values from the interpreter's raw allocator (it needs no lock, and tracemalloc
// sees it), freed on every way out of the call.
#pragma once

#include "binding/failure.hpp"

#include <cstddef>
#include <span>
#include <type_traits>
#include <utility>

namespace rdz {

template <class T>
class HeapArray {
  static_assert(std::is_trivially_copyable_v<T>, "plain values only: they are copied as bytes and never destroyed");

 public:
  // `count` uninitialised elements, or memory exhausted.
  static Outcome<HeapArray> make(std::size_t count) noexcept {
    if (count > PY_SSIZE_T_MAX / sizeof(T)) return fail(Failure::out_of_memory());
    void* memory = PyMem_RawMalloc(count * sizeof(T));
    if (!memory) return fail(Failure::out_of_memory());
    return HeapArray(static_cast<T*>(memory), count);
  }

  HeapArray(HeapArray&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  HeapArray& operator=(HeapArray&&) = delete;
  HeapArray(const HeapArray&) = delete;
  ~HeapArray() { PyMem_RawFree(data_); }

  std::span<T> span() const noexcept { return {data_, size_}; }
  T& operator[](std::size_t i) const noexcept { return data_[i]; }
  std::size_t size() const noexcept { return size_; }

 private:
  HeapArray(T* data, std::size_t size) noexcept : data_(data), size_(size) {}
  T* data_;
  std::size_t size_;
};

}  // namespace rdz
