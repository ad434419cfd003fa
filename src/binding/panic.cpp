#include "binding/panic.hpp"

#include "binding/ref.hpp"

#include <atomic>
#include <cstdio>

namespace rdz {
namespace {

constexpr const char* panic_doc =
    "Raised when the native code behind a Python call faults.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it\n"
    "normally propagates through the whole stack and ends the interpreter.";

std::atomic<PyObject*> panic_class{nullptr};
// PyMutex_Lock lets go of the interpreter lock while it waits, so a thread that
// finds another one creating the class cannot deadlock with it.
PyMutex panic_class_guard{};

void set_panic(PyObject* type, PyObject* text) { PyErr_SetObject(type, text); }

}  // namespace

PyObject* panic_type() {
  if (PyObject* type = panic_class.load(std::memory_order_acquire)) return type;
  PyMutex_Lock(&panic_class_guard);
  PyObject* type = panic_class.load(std::memory_order_relaxed);
  if (!type) {
    type = PyErr_NewExceptionWithDoc("rederodidizo.PanicException", panic_doc, PyExc_BaseException, nullptr);
    if (type) panic_class.store(type, std::memory_order_release);
  }
  PyMutex_Unlock(&panic_class_guard);
  return type;
}

void raise_panic(PyObject* text, const std::source_location& where) {
  const char* utf8 = PyUnicode_AsUTF8(text);
  if (!utf8) PyErr_Clear();  // only the diagnostic goes without it
  std::fprintf(stderr, "rederodidizo: internal fault at %s:%u: %s\n", where.file_name(),
               static_cast<unsigned>(where.line()), utf8 ? utf8 : "(text not printable)");
  PyObject* type = panic_type();
  if (!type) return;  // the creation error (in practice MemoryError) is pending
  set_panic(type, text);
}

void resume_panic(PyObject* fetched) {
  std::fprintf(stderr, "rederodidizo: a PanicException raised by Python code resumes as a fault:\n");
  PyErr_DisplayException(fetched);
  Owned text = Owned::steal(PyObject_Str(fetched));
  if (!text) {
    PyErr_Clear();
    text = Owned::steal(PyUnicode_FromString("Unwrapped panic from Python code"));
    if (!text) return;
  }
  set_panic(panic_type(), text.get());
}

}  // namespace rdz
