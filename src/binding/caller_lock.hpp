// Locks of the caller's mutable objects while their storage is read or written.
//
// A call locks at most two objects at a time, and never one inside another: on a
// free-threaded interpreter, a critical section begun inside another that has to
// wait suspends the outer one, letting go of its objects until the inner one ends.
// So a call's two stream objects (`iv` and `state`, or `ivs` and `states`) share one
// two-object section, and its third bytearray (`data`, `sizes`) is pinned by a buffer
// export instead, taken before the section and released after it.
#pragma once

#include <Python.h>

namespace rdz {

// Holds the per-object locks of two of a call's bytearrays (possibly the same object
// twice) while their storage is read or written. On a free-threaded interpreter this
// keeps another thread from resizing or writing them meanwhile; with the global lock
// it costs nothing. Lengths are checked and storage pointers fetched after the
// constructor.
class CallerObjectsLock {
 public:
#ifdef Py_GIL_DISABLED
  CallerObjectsLock(PyObject* a, PyObject* b) noexcept { PyCriticalSection2_Begin(&pair_, a, b); }
  ~CallerObjectsLock() { PyCriticalSection2_End(&pair_); }
#else
  // The global interpreter lock, held here, already serialises these objects.
  CallerObjectsLock(PyObject*, PyObject*) noexcept {}
#endif
  CallerObjectsLock(const CallerObjectsLock&) = delete;
  CallerObjectsLock& operator=(const CallerObjectsLock&) = delete;

#ifdef Py_GIL_DISABLED
 private:
  PyCriticalSection2 pair_;
#endif
};

// A buffer export of a bytearray, held while it lives: a bytearray with an export
// cannot be resized (the resizing thread gets BufferError), so its length and
// storage stay put, though its bytes may still be written by others. It takes the
// bytearray's own export even from a subclass that defines __buffer__, so no Python
// code runs and the pin is always on this object. Take it before a
// CallerObjectsLock and let it go after: exporting briefly locks the object.
class PinnedLength {
 public:
#ifdef Py_GIL_DISABLED
  explicit PinnedLength(PyObject* bytearray) noexcept
      : pinned_(PyByteArray_Type.tp_as_buffer->bf_getbuffer(bytearray, &view_, PyBUF_WRITABLE) == 0) {}
  ~PinnedLength() {
    if (!pinned_) return;
    PyByteArray_Type.tp_as_buffer->bf_releasebuffer(view_.obj, &view_);
    Py_DECREF(view_.obj);
  }
#else
  // The global interpreter lock, held for as long as the pin would be, already keeps
  // every other thread from resizing the bytearray, so the export would be unseen.
  explicit PinnedLength(PyObject*) noexcept {}
#endif
  PinnedLength(const PinnedLength&) = delete;
  PinnedLength& operator=(const PinnedLength&) = delete;

  // False if the export failed (it does not for a bytearray); the interpreter's
  // exception is then pending.
  explicit operator bool() const noexcept { return pinned_; }

 private:
#ifdef Py_GIL_DISABLED
  Py_buffer view_{};
  bool pinned_;
#else
  static constexpr bool pinned_ = true;
#endif
};

}  // namespace rdz
