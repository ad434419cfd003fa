// Reference ownership, stated once for the whole module.
//
//  - A plain `PyObject*` is a borrowed reference: the code that holds it does not own
//    it and never releases it. Arguments of every call arrive borrowed and stay so.
//  - `Owned` is a strong (new) reference: it is released when the `Owned` goes out
//    of scope, on every path. `release()` hands the reference over to the caller
//    (to the interpreter, as a result, or to a function that steals it).
//  - `Owned::steal(p)` adopts a new reference returned by an interpreter call;
//    `Owned::take(p)` adds a reference to a borrowed one.
//  - No function body calls Py_DECREF or Py_INCREF itself.
//
// Every `Owned` is created, copied and destroyed with the interpreter lock held.
#pragma once

#include <Python.h>

#include <utility>

namespace rdz {

class Owned {
 public:
  Owned() noexcept = default;
  static Owned steal(PyObject* p) noexcept { return Owned(p); }
  static Owned take(PyObject* p) noexcept { return Owned(Py_XNewRef(p)); }

  Owned(Owned&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Owned& operator=(Owned&& other) noexcept {
    Owned(std::move(other)).swap(*this);
    return *this;
  }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  ~Owned() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  void swap(Owned& other) noexcept { std::swap(p_, other.p_); }

 private:
  explicit Owned(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

}  // namespace rdz
