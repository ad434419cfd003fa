// Locks of the caller's mutable objects while their storage is read or written.
#pragma once

#include <Python.h>

namespace rdz {

// Holds the per-object locks of a call's mutable caller objects (one to three
// bytearrays, possibly the same object in two roles) while their storage is read or
// written. On a free-threaded interpreter this keeps another thread from resizing a
// bytearray under our copy; with the global lock it costs nothing. A lock that has
// to wait may let go of those taken before it meanwhile, so length checks belong
// after the constructor, and the storage pointers are fetched after it too.
class CallerObjectsLock {
 public:
#ifdef Py_GIL_DISABLED
  CallerObjectsLock(PyObject* a, PyObject* b, PyObject* c = nullptr) noexcept {
    PyCriticalSection2_Begin(&pair_, a, b);
    if (c && c != a && c != b) {
      PyCriticalSection_Begin(&third_, c);
      has_third_ = true;
    }
  }
  ~CallerObjectsLock() {
    if (has_third_) PyCriticalSection_End(&third_);
    PyCriticalSection2_End(&pair_);
  }
#else
  // The global interpreter lock, held here, already serialises these objects.
  CallerObjectsLock(PyObject*, PyObject*, PyObject* = nullptr) noexcept {}
#endif
  CallerObjectsLock(const CallerObjectsLock&) = delete;
  CallerObjectsLock& operator=(const CallerObjectsLock&) = delete;

#ifdef Py_GIL_DISABLED
 private:
  PyCriticalSection2 pair_;
  PyCriticalSection third_;
  bool has_third_ = false;
#endif
};

}  // namespace rdz
