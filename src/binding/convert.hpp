// Argument kinds. Each conversion takes a bound (borrowed) object and gives the value
// of its kind, or the failure for a wrong object, still without the parameter note
// (the binder in args.hpp adds it). No conversion copies data, tests truth or uses
// the buffer protocol. Lock held.
#pragma once

#include "binding/failure.hpp"

#include <cstdint>
#include <span>

namespace rdz {

using ByteView = std::span<const std::uint8_t>;

// TypeError "'<type>' object is not an instance of '<target>'" (or "'None' is not
// ..."), without a note.
Failure not_an_instance(PyObject* object, const char* target);

// bytes or a subclass, read in place: valid while the call lasts. (Inline: every
// call converts a few of these, and the test is one flag.)
inline Outcome<ByteView> as_bytes(PyObject* object) {
  if (!PyBytes_Check(object)) [[unlikely]]
    return fail(not_an_instance(object, "bytes"));
  return ByteView(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(object)),
                  static_cast<std::size_t>(PyBytes_GET_SIZE(object)));
}

// bytearray or a subclass: the object itself, borrowed.
inline Outcome<PyObject*> as_bytearray(PyObject* object) {
  if (!PyByteArray_Check(object)) [[unlikely]]
    return fail(not_an_instance(object, "bytearray"));
  return object;
}

Outcome<std::int64_t> as_int64(PyObject* object);
Outcome<std::int32_t> as_int32(PyObject* object);
// True, False, or numpy's boolean scalar.
Outcome<bool> as_bool(PyObject* object);

// The kinds, as a Signature names them: the value a body gets, and its conversion.
struct Bytes {
  using Value = ByteView;
  static Outcome<Value> convert(PyObject* object) { return as_bytes(object); }
};
struct ByteArray {
  using Value = PyObject*;
  static Outcome<Value> convert(PyObject* object) { return as_bytearray(object); }
};
struct Int64 {
  using Value = std::int64_t;
  static Outcome<Value> convert(PyObject* object) { return as_int64(object); }
};
struct Int32 {
  using Value = std::int32_t;
  static Outcome<Value> convert(PyObject* object) { return as_int32(object); }
};
struct Bool {
  using Value = bool;
  static Outcome<Value> convert(PyObject* object) { return as_bool(object); }
};
// A bool that may be left out; then it is `Absent`, without any conversion.
template <bool Absent>
struct OptionalBool : Bool {
  static constexpr bool absent = Absent;
};

}  // namespace rdz
