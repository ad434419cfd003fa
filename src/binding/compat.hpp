// The two interpreter calls this module takes from CPython 3.14 that 3.13 lacks,
// PyUnicodeWriter and PyLong_AsInt32, written for 3.13 from its public API under
// the same names and signatures. The calling code then reads as 3.14 code, and
// dropping 3.13 means deleting this file and its two includes.
//
// Each shim gives what 3.14's own gives to our callers: the same text, the same
// exception type and message, the same calls of __str__ and __index__.
#pragma once

#include <Python.h>

#include <cstdarg>
#include <cstdint>
#include <new>

#if PY_VERSION_HEX < 0x030E0000

// 3.14 builds the text in one growing buffer; here the pieces are kept in a list and
// joined once at the end. Only the calls the module makes are provided.
struct PyUnicodeWriter {
  PyObject* pieces;
};

inline PyUnicodeWriter* PyUnicodeWriter_Create(Py_ssize_t length) {
  if (length < 0) {
    PyErr_SetString(PyExc_ValueError, "length must be positive");
    return nullptr;
  }
  PyObject* pieces = PyList_New(0);
  if (!pieces) return nullptr;
  void* storage = PyMem_Malloc(sizeof(PyUnicodeWriter));
  if (!storage) {
    Py_DECREF(pieces);
    PyErr_NoMemory();
    return nullptr;
  }
  return new (storage) PyUnicodeWriter{pieces};
}

inline void PyUnicodeWriter_Discard(PyUnicodeWriter* writer) {
  if (!writer) return;
  Py_DECREF(writer->pieces);
  PyMem_Free(writer);
}

namespace rdz::compat {
// Appends a new reference, which it consumes; a null one is a failure already raised.
inline int append(PyUnicodeWriter* writer, PyObject* piece) {
  if (!piece) return -1;
  const int status = PyList_Append(writer->pieces, piece);
  Py_DECREF(piece);
  return status;
}
}  // namespace rdz::compat

// str(object), as 3.14 writes it: a str subclass's own __str__ is called.
inline int PyUnicodeWriter_WriteStr(PyUnicodeWriter* writer, PyObject* object) {
  return rdz::compat::append(writer, PyObject_Str(object));
}

inline int PyUnicodeWriter_WriteChar(PyUnicodeWriter* writer, Py_UCS4 ch) {
  if (ch > 0x10FFFF) {
    PyErr_SetString(PyExc_ValueError, "character must be in range(0x110000)");
    return -1;
  }
  return rdz::compat::append(writer, PyUnicode_FromOrdinal(static_cast<int>(ch)));
}

inline int PyUnicodeWriter_Format(PyUnicodeWriter* writer, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  PyObject* piece = PyUnicode_FromFormatV(format, arguments);
  va_end(arguments);
  return rdz::compat::append(writer, piece);
}

// The text, and the writer freed whether or not the join succeeds.
inline PyObject* PyUnicodeWriter_Finish(PyUnicodeWriter* writer) {
  PyObject* empty = PyUnicode_FromStringAndSize("", 0);
  PyObject* text = empty ? PyUnicode_Join(empty, writer->pieces) : nullptr;
  Py_XDECREF(empty);
  PyUnicodeWriter_Discard(writer);
  return text;
}

// 3.14 converts through __index__ like PyLong_AsLongLong, and reports any value
// outside the 32-bit range, of either sign, as "too large".
inline int PyLong_AsInt32(PyObject* object, std::int32_t* value) {
  int overflow = 0;
  const long long wide = PyLong_AsLongLongAndOverflow(object, &overflow);
  if (wide == -1 && PyErr_Occurred()) return -1;
  if (overflow != 0 || wide < INT32_MIN || wide > INT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C int32_t");
    return -1;
  }
  *value = static_cast<std::int32_t>(wide);
  return 0;
}

#endif
