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
