#include "binding/failure.hpp"

#include "binding/panic.hpp"

#include <atomic>
#include <cerrno>

namespace rdz {
namespace {

// The "add_note" name, interned once and kept for the life of the process.
PyObject* add_note_name() {
  static std::atomic<PyObject*> name{nullptr};
  PyObject* interned = name.load(std::memory_order_acquire);
  if (interned) return interned;
  interned = PyUnicode_InternFromString("add_note");
  if (!interned) return nullptr;
  PyObject* expected = nullptr;
  if (!name.compare_exchange_strong(expected, interned, std::memory_order_acq_rel)) {
    Py_DECREF(interned);  // another thread interned it first: the same object
    interned = expected;
  }
  return interned;
}

}  // namespace

Failure Failure::fetched() {
  PyObject* exception = PyErr_GetRaisedException();
  if (!exception) {
    return message(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  Owned held = Owned::steal(exception);
  PyObject* panic = panic_type();  // every fetched exception is checked against it
  if (!panic) {
    // The class could not be created (memory is exhausted): report that error.
    return Failure(Raised{Owned::steal(PyErr_GetRaisedException())});
  }
  if (PyErr_GivenExceptionMatches(exception, panic)) {
    resume_panic(exception);
    return Failure(Raised{Owned::steal(PyErr_GetRaisedException()), true});
  }
  return Failure(Raised{std::move(held)});
}

Failure Failure::raised(PyObject* type, Owned text) {
  PyErr_SetObject(type, text.get());
  return fetched();
}

Failure Failure::os_error(int errnum) {
  errno = errnum;
  PyErr_SetFromErrno(PyExc_OSError);
  return fetched();
}

void Failure::raise() && {
  struct Raiser {
    void operator()(Message& m) const {
      Owned message = Owned::steal(PyUnicode_FromString(m.text));
      if (message) PyErr_SetObject(m.type, message.get());
    }
    void operator()(OutOfMemory&) const { PyErr_NoMemory(); }
    void operator()(Raised& r) const {
      if (r.exception) {
        PyErr_SetRaisedException(r.exception.release());
      } else if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
      }
    }
    void operator()(Fault& f) const {
      if (f.literal) f.text = Owned::steal(PyUnicode_FromString(f.literal));
      if (f.text) raise_panic(f.text.get(), f.where);
    }
  };
  std::visit(Raiser{}, form_);
}

Failure Failure::with_note(const char* parameter) && {
  if (std::holds_alternative<Fault>(form_)) return std::move(*this);
  if (auto* raised = std::get_if<Raised>(&form_); raised && raised->resumed_panic) return std::move(*this);
  std::move(*this).raise();
  PyObject* exception = PyErr_GetRaisedException();
  if (!exception) return fetched();
  Owned held = Owned::steal(exception);
  Owned note = Owned::steal(PyUnicode_FromFormat("while processing '%s'", parameter));
  PyObject* name = add_note_name();
  if (note && name) {
    PyObject* call[] = {exception, note.get()};
    Owned ignored = Owned::steal(PyObject_VectorcallMethod(name, call, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  }
  PyErr_Clear();  // a failed note leaves the first exception without one
  return Failure(Raised{std::move(held)});
}

}  // namespace rdz
