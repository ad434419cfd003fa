// The converting binder: a function body's arguments, bound and converted.
//
// A function's `Signature` lists its parameters' kinds (as its type) and names (as
// its value). Binding a call to it gives the converted values in parameter order,
// or the first failure, so that a body starts by reading its parameter list:
//
//   constexpr Signature<Bytes, Bytes, ByteArray, ByteArray> ctr256_encrypt_signature{
//       "ctr256_encrypt", {"src", "key", "iv", "state"}};
//
//   auto arguments = bind_arguments(ctr256_encrypt_signature, call);
//   if (!arguments) return fail_from(arguments);
//   const auto& [src, key, iv, state] = *arguments;
//
// The conversions run in parameter order, which is the order in which their errors
// must win, and stop at the first failure. A conversion failure carries the note
// "while processing '<name>'", the name taken from the signature, so no body spells
// a parameter name; a binding failure carries none.
#pragma once

#include "binding/convert.hpp"
#include "binding/signature.hpp"

#include <tuple>
#include <utility>

namespace rdz {

template <class... Kinds>
using Arguments = std::tuple<typename Kinds::Value...>;

namespace detail {

// Converts bound object I into its place in `arguments`; false, with `arguments`
// holding the failure instead, if the object is wrong.
template <std::size_t I, class Kind, class Values>
bool convert_into(PyObject* object, const char* parameter, Outcome<Values>& arguments) {
  if constexpr (requires { Kind::absent; }) {
    if (!object) {
      std::get<I>(*arguments) = Kind::absent;
      return true;
    }
  }
  auto converted = Kind::convert(object);
  if (!converted) [[unlikely]] {
    arguments = fail(std::move(converted.error()).with_note(parameter));
    return false;
  }
  std::get<I>(*arguments) = *converted;
  return true;
}

}  // namespace detail

template <class... Kinds>
Outcome<Arguments<Kinds...>> bind_arguments(const Signature<Kinds...>& signature, CallArgs call) {
  std::array<PyObject*, sizeof...(Kinds)> slots{};
  Outcome<Arguments<Kinds...>> arguments{};
  if (auto bound = bind_into(signature.name, signature.parameters, signature.required, call, slots); !bound) {
    arguments = fail_from(bound);
    return arguments;
  }
  // The && fold runs the conversions left to right and stops at the first false.
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    (detail::convert_into<I, Kinds>(slots[I], signature.parameters[I], arguments) && ...);
  }
  (std::index_sequence_for<Kinds...>{});
  return arguments;
}

}  // namespace rdz
