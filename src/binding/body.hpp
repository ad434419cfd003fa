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
inline Outcome<Owned> new_writable_bytes(std::size_t size) {
  Owned result = Owned::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  if (!result) return fail(Failure::fetched());
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
