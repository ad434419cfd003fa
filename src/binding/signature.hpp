// Parameter descriptions and argument binding.
//
// Every function has one constexpr `Signature`: its name, its parameters' kinds (the
// template arguments, see convert.hpp) and names in order (those of its text
// signature), and how many of them, from the front, are required. Every parameter is
// positional-or-keyword. Binding fills one borrowed slot per parameter, on the stack,
// and allocates nothing when the call is correct; args.hpp then converts the slots.
#pragma once

#include "binding/failure.hpp"

#include <array>
#include <cstddef>
#include <span>

namespace rdz {

template <class... Kinds>
struct Signature {
  const char* name;
  std::array<const char*, sizeof...(Kinds)> parameters;
  std::size_t required = sizeof...(Kinds);
};

// The fast-call arguments exactly as the interpreter passed them.
struct CallArgs {
  PyObject* const* args;
  Py_ssize_t nargs;
  PyObject* kwnames;
};

// Borrowed argument objects, one per parameter; null where an optional one was not
// given. A binding error (a TypeError without a note) if the call does not fit.
Outcome<void> bind_into(const char* name, std::span<const char* const> parameters, std::size_t required, CallArgs call,
                        std::span<PyObject*> slots);

}  // namespace rdz
