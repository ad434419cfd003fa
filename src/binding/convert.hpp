// Argument kinds. Each conversion takes a bound (borrowed) object and the name of
// its parameter, and gives the value or a failure that already carries the note
// "while processing '<parameter>'". No conversion copies data, tests truth or uses
// the buffer protocol.
#pragma once

#include "binding/failure.hpp"

#include <cstdint>
#include <span>

namespace rdz {

using ByteView = std::span<const std::uint8_t>;

// bytes or a subclass, read in place: valid while the call lasts.
Outcome<ByteView> as_bytes(PyObject* object, const char* parameter);
// bytearray or a subclass: the object itself, borrowed.
Outcome<PyObject*> as_bytearray(PyObject* object, const char* parameter);
Outcome<std::int64_t> as_int64(PyObject* object, const char* parameter);
Outcome<std::int32_t> as_int32(PyObject* object, const char* parameter);
// True, False, or numpy's boolean scalar.
Outcome<bool> as_bool(PyObject* object, const char* parameter);

// TypeError "'<type>' object is not an instance of '<target>'" (or "'None' is not
// ..."), without a note. Lock held.
Failure not_an_instance(PyObject* object, const char* target);

}  // namespace rdz
