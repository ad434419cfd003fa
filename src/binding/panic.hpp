// PanicException: the exception that carries an internal fault out of a call.
//
// One class per process, a direct subclass of BaseException so that `except
// Exception` does not swallow it. It is deliberately not a module attribute.
#pragma once

#include <Python.h>

#include <source_location>

namespace rdz {

// The class, created on first use (borrowed; lives until the process ends), or null
// with the creation error pending. Lock held.
PyObject* panic_type();

// Writes the diagnostic and sets a new PanicException carrying `text` (a str). If
// the class cannot be created, the creation error stays pending instead. Lock held.
void raise_panic(PyObject* text, const std::source_location& where);

// A PanicException fetched from the interpreter (raised, say, by a caller's
// __index__) resumes the fault: a notice and its traceback go to standard error and
// a new PanicException with the same text is set. Lock held.
void resume_panic(PyObject* fetched);

}  // namespace rdz
