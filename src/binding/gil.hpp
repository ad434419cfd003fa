// The window without the interpreter lock.
//
// `GilReleased` lets go of the lock in its constructor and takes it back in its
// destructor, so every way out of the window, an exception included, re-takes it.
// Inside the window no Python object may be created, read, written or released:
// the code works on plain data (spans, arrays, integers) copied or pinned before.
#pragma once

#include <Python.h>

#include <utility>

namespace rdz {

class GilReleased {
 public:
  GilReleased() noexcept : state_(PyEval_SaveThread()) {}
  ~GilReleased() { PyEval_RestoreThread(state_); }
  GilReleased(const GilReleased&) = delete;
  GilReleased& operator=(const GilReleased&) = delete;

 private:
  PyThreadState* state_;
};

// Runs `work` without the lock and returns what it returns.
template <class Work>
decltype(auto) without_gil(Work&& work) {
  GilReleased released;
  return std::forward<Work>(work)();
}

}  // namespace rdz

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
