// What a function body is, and the result objects it makes.
//
// A body is `Outcome<Owned> body(CallArgs)`: the fast-call arguments exactly as the
// interpreter passed them, and either a new reference or a Failure. It reads as its
// list of steps: bind and convert (args.hpp), check, copy, release the lock, work,
// re-take it, write back, return.
#pragma once

#include "binding/args.hpp"

#include <cstdint>
#include <span>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace rdz {

using Body = Outcome<Owned> (*)(CallArgs);

// A new bytes object copied from `bytes`; the interpreter's error if it cannot be made.
inline Outcome<Owned> new_bytes(std::span<const std::uint8_t> bytes) {
  Owned result = Owned::steal(
      PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()), static_cast<Py_ssize_t>(bytes.size())));
  if (!result) return fail(Failure::fetched());
  return result;
}

// A new bytes object of `size` bytes that the caller fills before anyone else sees
// it, so that it may be written without the lock. Never one of the interpreter's
// shared one-byte or empty objects, unless `size` is 0 (and then there is nothing to
// write).
//
// A large result is usually fresh memory from the operating system, and the work
// touches it for the first time: page by page, on a virtual machine, that costs more
// than the encryption itself (about 1.5 µs a 4 KiB page here). So for large results
// the aligned middle of the storage is offered transparent huge pages, which the
// kernel then maps 2 MiB at a time. Only a hint: where the kernel has none to give,
// or declines, nothing changes.
inline Outcome<Owned> new_writable_bytes(std::size_t size) {
  Owned result = Owned::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  if (!result) return fail(Failure::fetched());
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr std::uintptr_t huge_page = std::uintptr_t{2} << 20;
  if (size >= 2 * huge_page) {
    const auto start = reinterpret_cast<std::uintptr_t>(PyBytes_AS_STRING(result.get()));
    const std::uintptr_t begin = (start + huge_page - 1) & ~(huge_page - 1);
    const std::uintptr_t end = (start + size) & ~(huge_page - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
  }
#endif
  return result;
}

inline std::span<std::uint8_t> writable_storage(const Owned& bytes) noexcept {
  return {reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes.get())),
          static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get()))};
}

inline Outcome<Owned> new_int(long long value) {
  Owned number = Owned::steal(PyLong_FromLongLong(value));
  if (!number) return fail(Failure::fetched());
  return number;
}

}  // namespace rdz
