// The one failure type. A function body ends with a result or with one of:
//
//  - a message: an exception type and a fixed text. Nothing Python is created until
//    the call boundary raises it, so a message may be reported without the
//    interpreter lock (the type pointers are the interpreter's static exception types).
//  - memory exhausted: the module's own working memory could not be allocated; it
//    leaves as MemoryError, like the interpreter's own allocations.
//  - a raised exception: an exception object already produced by the interpreter,
//    also the form of every message whose text is formatted (which needs the lock).
//  - a fault: a broken invariant, with its source location; it leaves the module as
//    PanicException, after a diagnostic on standard error.
//
// Every way a call can fail is one of these, returned in an `Outcome`: the module
// throws no C++ exceptions. A Failure is small (a few words), because every Outcome
// carries room for one.
#pragma once

#include "binding/ref.hpp"

#include <concepts>
#include <expected>
#include <source_location>
#include <variant>

namespace rdz {

class Failure {
 public:
  // An error of the caller's input or call (TypeError, ValueError, ...), with a text
  // that lives as long as the module (a literal).
  static Failure message(PyObject* type, const char* text) noexcept { return Failure(Message{type, text}); }
  static Failure value_error(const char* text) noexcept { return message(PyExc_ValueError, text); }
  static Failure out_of_memory() noexcept { return Failure(OutOfMemory{}); }

  // The exception pending in the interpreter (lock held). A pending PanicException
  // stays a fault; no pending exception at all is a SystemError.
  static Failure fetched();
  // An exception of `type` whose text is `format` filled in as PyUnicode_FromFormat
  // does (lock held).
  template <class... Values>
  static Failure formatted(PyObject* type, const char* format, Values... values) {
    Owned text = Owned::steal(PyUnicode_FromFormat(format, values...));
    if (!text) return fetched();
    return raised(type, std::move(text));
  }
  // An exception built from a type and an already-made message object (lock held).
  static Failure raised(PyObject* type, Owned text);
  // OSError for an errno value (lock held).
  static Failure os_error(int errnum);

  // A fault with a text that lives as long as the module (a literal).
  static Failure fault(const char* text, std::source_location where = std::source_location::current()) noexcept {
    return Failure(Fault{text, Owned(), where});
  }
  // A fault whose text is `format` filled in as PyUnicode_FromFormat does (lock held).
  template <class... Values>
  static Failure fault_formatted(std::source_location where, const char* format, Values... values) {
    Owned text = Owned::steal(PyUnicode_FromFormat(format, values...));
    if (!text) return fetched();
    return Failure(Fault{nullptr, std::move(text), where});
  }

  // Sets the exception in the interpreter (lock held). Called once, by the boundary.
  void raise() &&;

  // The exception object this failure stands for, with nothing left pending, and the
  // note "while processing '<parameter>'" attached. For conversion failures, before
  // they leave the body (lock held). Faults take no note.
  Failure with_note(const char* parameter) &&;

 private:
  struct Message {
    PyObject* type;
    const char* text;
  };
  struct OutOfMemory {};
  struct Raised {
    Owned exception;
    bool resumed_panic = false;  // a fault from Python code: it takes no parameter note
  };
  struct Fault {
    const char* literal;  // or, when null:
    Owned text;
    std::source_location where;
  };
  using Form = std::variant<Message, OutOfMemory, Raised, Fault>;
  // One of the forms only: unconstrained, this template would also be a candidate
  // for making a Failure out of an Outcome, which std::expected's own constructors
  // ask about, and clang then finds their constraints depending on themselves.
  template <class F>
    requires(std::same_as<F, Message> || std::same_as<F, OutOfMemory> || std::same_as<F, Raised> ||
             std::same_as<F, Fault>)
  explicit Failure(F form) noexcept : form_(std::in_place_type<F>, std::move(form)) {}

  Form form_;
};

template <class T>
using Outcome = std::expected<T, Failure>;

inline std::unexpected<Failure> fail(Failure f) noexcept { return std::unexpected<Failure>(std::move(f)); }

// Passes a failure of another outcome on unchanged.
template <class T>
std::unexpected<Failure> fail_from(Outcome<T>& outcome) noexcept {
  return fail(std::move(outcome.error()));
}

}  // namespace rdz
