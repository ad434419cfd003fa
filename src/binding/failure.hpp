// The one failure type. A function body ends with a result or with one of:
//
//  - a message: an exception type and a text. Nothing Python is created until the
//    call boundary raises it, so a message may be reported without the interpreter
//    lock (the type pointers are the interpreter's static exception types).
//  - a raised exception: an exception object already produced by the interpreter.
//  - a fault: a broken invariant, with its source location; it leaves the module as
//    PanicException, after a diagnostic on standard error.
#pragma once

#include "binding/ref.hpp"

#include <expected>
#include <source_location>
#include <string>
#include <variant>

namespace rdz {

class Failure {
 public:
  // An error of the caller's input or call (TypeError, ValueError, ...).
  static Failure message(PyObject* type, std::string text) {
    return Failure(Message{type, std::move(text)});
  }
  static Failure value_error(std::string text) { return message(PyExc_ValueError, std::move(text)); }

  // The exception pending in the interpreter (lock held). A pending PanicException
  // stays a fault; no pending exception at all is a SystemError.
  static Failure fetched();
  // An exception built from a type and an already-made message object (lock held).
  static Failure raised(PyObject* type, Owned text);
  // OSError for an errno value (lock held).
  static Failure os_error(int errnum);

  static Failure fault(std::string text,
                       std::source_location where = std::source_location::current()) {
    return Failure(Fault{std::move(text), where});
  }

  // Sets the exception in the interpreter (lock held). Called once, by the boundary.
  void raise() &&;

  // The exception object this failure stands for, with nothing left pending. Used to
  // attach a note to a conversion failure before it leaves the body (lock held).
  Failure with_note(const char* parameter) &&;

 private:
  struct Message {
    PyObject* type;
    std::string text;
  };
  struct Raised {
    Owned exception;
    bool resumed_panic = false;  // a fault from Python code: it takes no parameter note
  };
  struct Fault {
    std::string text;
    std::source_location where;
  };
  using Form = std::variant<Message, Raised, Fault>;
  explicit Failure(Form form) : form_(std::move(form)) {}

  Form form_;
};

template <class T>
using Outcome = std::expected<T, Failure>;

inline std::unexpected<Failure> fail(Failure f) { return std::unexpected<Failure>(std::move(f)); }

}  // namespace rdz
