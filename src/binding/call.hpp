// What every function body receives and returns, and the helpers its steps share.
//
// A body is `Outcome<Owned> body(CallArgs)`: the fast-call arguments exactly as the
// interpreter passed them, and either a new reference or a Failure. The bodies read
// as their list of steps: bind, convert, check, copy, release the lock, work,
// re-take, write back, return.
#pragma once

#include "binding/convert.hpp"
#include "binding/signature.hpp"

#include <cstring>
#include <string>

namespace rdz {

struct CallArgs {
  PyObject* const* args;
  Py_ssize_t nargs;
  PyObject* kwnames;
};

using Body = Outcome<Owned> (*)(CallArgs);

template <std::size_t N>
Outcome<Bound<N>> bind(const Signature<N>& signature, CallArgs call) {
  return bind(signature, call.args, call.nargs, call.kwnames);
}

// Passes a failure of another outcome on unchanged.
template <class T>
std::unexpected<Failure> fail_from(Outcome<T>& outcome) {
  return fail(std::move(outcome.error()));
}

// ValueError `message` unless `view` holds exactly `size` bytes.
inline Outcome<void> check_length(ByteView view, std::size_t size, const char* message) {
  if (view.size() != size) return fail(Failure::value_error(message));
  return {};
}

// A new bytes object copied from `bytes`; the interpreter's error if it cannot be made.
inline Outcome<Owned> new_bytes(std::span<const std::uint8_t> bytes) {
  Owned result = Owned::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                                        static_cast<Py_ssize_t>(bytes.size())));
  if (!result) return fail(Failure::fetched());
  return result;
}

// A new bytes object of `size` bytes that the caller may write before anyone else
// sees it. Never one of the interpreter's shared one-byte or empty objects, unless
// `size` is 0 (and then there is nothing to write).
inline Outcome<Owned> new_writable_bytes(std::size_t size) {
  Owned result = Owned::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  if (!result) return fail(Failure::fetched());
  return result;
}

inline std::span<std::uint8_t> writable_storage(const Owned& bytes) noexcept {
  return {reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes.get())), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get()))};
}

// Fixed-size private copy of a view whose length was checked.
template <std::size_t N>
std::array<std::uint8_t, N> copy_fixed(ByteView view) noexcept {
  std::array<std::uint8_t, N> copy;
  std::memcpy(copy.data(), view.data(), N);
  return copy;
}

}  // namespace rdz
