// Parameter descriptions and argument binding.
//
// Every function has one constexpr `Signature`: its name, its parameter names in
// order (those of its text signature) and how many of them, from the front, are
// required. Every parameter is positional-or-keyword. Binding fills one borrowed
// slot per parameter, on the stack, and allocates nothing when the call is correct.
#pragma once

#include "binding/failure.hpp"

#include <array>
#include <cstddef>
#include <span>

namespace rdz {

template <std::size_t N>
struct Signature {
  const char* name;
  std::array<const char*, N> parameters;
  std::size_t required = N;
};

// Borrowed argument objects, one per parameter; null where an optional one was not given.
template <std::size_t N>
using Bound = std::array<PyObject*, N>;

struct SignatureView {
  const char* name;
  std::span<const char* const> parameters;
  std::size_t required;
};

Outcome<void> bind_into(const SignatureView& signature, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames, std::span<PyObject*> slots);

template <std::size_t N>
Outcome<Bound<N>> bind(const Signature<N>& signature, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  Bound<N> slots{};
  auto bound = bind_into({signature.name, signature.parameters, signature.required}, args, nargs,
                         kwnames, slots);
  if (!bound) return fail(std::move(bound.error()));
  return slots;
}

}  // namespace rdz
