#include "binding/signature.hpp"

#include <cstring>
#include <format>
#include <string>

namespace rdz {
namespace {

Failure type_error(std::string text) { return Failure::message(PyExc_TypeError, std::move(text)); }

Failure too_many_positional(const SignatureView& sig, Py_ssize_t nargs) {
  const char* verb = nargs == 1 ? "was" : "were";
  if (sig.required == sig.parameters.size()) {
    return type_error(std::format("{}() takes {} positional arguments but {} {} given", sig.name,
                                  sig.parameters.size(), nargs, verb));
  }
  return type_error(std::format("{}() takes from {} to {} positional arguments but {} {} given",
                                sig.name, sig.required, sig.parameters.size(), nargs, verb));
}

// The keyword's own str() goes into the message: it may be a str subclass, or hold
// text that has no UTF-8 form, so the message is built as a Python string.
Failure unexpected_keyword(const SignatureView& sig, PyObject* keyword) {
  PyUnicodeWriter* writer = PyUnicodeWriter_Create(0);
  if (!writer) return Failure::fetched();
  if (PyUnicodeWriter_Format(writer, "%s() got an unexpected keyword argument '", sig.name) < 0 ||
      PyUnicodeWriter_WriteStr(writer, keyword) < 0 || PyUnicodeWriter_WriteChar(writer, '\'') < 0) {
    PyUnicodeWriter_Discard(writer);
    return Failure::fetched();
  }
  Owned text = Owned::steal(PyUnicodeWriter_Finish(writer));
  if (!text) return Failure::fetched();
  return Failure::raised(PyExc_TypeError, std::move(text));
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string name_list(const SignatureView& sig, std::span<PyObject* const> slots) {
  std::string list;
  std::size_t missing = 0;
  for (std::size_t i = 0; i < sig.required; ++i) missing += slots[i] == nullptr;
  std::size_t written = 0;
  for (std::size_t i = 0; i < sig.required; ++i) {
    if (slots[i]) continue;
    if (written > 0) {
      if (missing > 2) list += ", ";
      if (written + 1 == missing) list += missing > 2 ? "and " : " and ";
    }
    list += std::format("'{}'", sig.parameters[i]);
    ++written;
  }
  return list;
}

Failure missing_required(const SignatureView& sig, std::span<PyObject* const> slots) {
  std::size_t missing = 0;
  for (std::size_t i = 0; i < sig.required; ++i) missing += slots[i] == nullptr;
  return type_error(std::format("{}() missing {} required positional {}: {}", sig.name, missing,
                                missing == 1 ? "argument" : "arguments", name_list(sig, slots)));
}

// The index of the parameter named by `keyword`, or -1.
Py_ssize_t parameter_index(const SignatureView& sig, PyObject* keyword) {
  Py_ssize_t length = 0;
  const char* text = PyUnicode_AsUTF8AndSize(keyword, &length);
  if (!text) {
    PyErr_Clear();  // a name without UTF-8 form matches no parameter
    return -1;
  }
  for (std::size_t i = 0; i < sig.parameters.size(); ++i) {
    const char* name = sig.parameters[i];
    if (std::strlen(name) == static_cast<std::size_t>(length) && std::memcmp(name, text, length) == 0) {
      return static_cast<Py_ssize_t>(i);
    }
  }
  return -1;
}

}  // namespace

Outcome<void> bind_into(const SignatureView& sig, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames, std::span<PyObject*> slots) {
  const auto count = static_cast<Py_ssize_t>(sig.parameters.size());
  for (Py_ssize_t i = 0; i < nargs && i < count; ++i) slots[i] = args[i];
  if (nargs > count) return fail(too_many_positional(sig, nargs));

  const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    const Py_ssize_t index = parameter_index(sig, keyword);
    if (index < 0) return fail(unexpected_keyword(sig, keyword));
    if (slots[index]) {
      return fail(type_error(std::format("{}() got multiple values for argument '{}'", sig.name,
                                         sig.parameters[index])));
    }
    slots[index] = args[nargs + k];
  }

  for (std::size_t i = static_cast<std::size_t>(nargs); i < sig.required; ++i) {
    if (!slots[i]) return fail(missing_required(sig, slots));
  }
  return {};
}

}  // namespace rdz
