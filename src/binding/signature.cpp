#include "binding/signature.hpp"

#include "binding/compat.hpp"

#include <cstring>

namespace rdz {
namespace {

struct Parameters {
  const char* function;
  std::span<const char* const> names;
  std::size_t required;
};

Failure too_many_positional(const Parameters& p, Py_ssize_t nargs) {
  const char* verb = nargs == 1 ? "was" : "were";
  if (p.required == p.names.size()) {
    return Failure::formatted(PyExc_TypeError, "%s() takes %zu positional arguments but %zd %s given", p.function,
                              p.names.size(), nargs, verb);
  }
  return Failure::formatted(PyExc_TypeError, "%s() takes from %zu to %zu positional arguments but %zd %s given",
                            p.function, p.required, p.names.size(), nargs, verb);
}

// The keyword's own str() goes into the message: it may be a str subclass, or hold
// text that has no UTF-8 form, so the message is built as a Python string.
Failure unexpected_keyword(const Parameters& p, PyObject* keyword) {
  PyUnicodeWriter* writer = PyUnicodeWriter_Create(0);
  if (!writer) return Failure::fetched();
  if (PyUnicodeWriter_Format(writer, "%s() got an unexpected keyword argument '", p.function) < 0 ||
      PyUnicodeWriter_WriteStr(writer, keyword) < 0 || PyUnicodeWriter_WriteChar(writer, '\'') < 0) {
    PyUnicodeWriter_Discard(writer);
    return Failure::fetched();
  }
  Owned text = Owned::steal(PyUnicodeWriter_Finish(writer));
  if (!text) return Failure::fetched();
  return Failure::raised(PyExc_TypeError, std::move(text));
}

// "... missing 3 required positional arguments: 'a', 'b', and 'c'" ("'a' and 'b'"
// for two): the empty required slots, in parameter order.
Failure missing_required(const Parameters& p, std::span<PyObject* const> slots) {
  std::size_t missing = 0;
  for (std::size_t i = 0; i < p.required; ++i) missing += slots[i] == nullptr;
  PyUnicodeWriter* writer = PyUnicodeWriter_Create(0);
  if (!writer) return Failure::fetched();
  bool ok = PyUnicodeWriter_Format(writer, "%s() missing %zu required positional %s: ", p.function, missing,
                                   missing == 1 ? "argument" : "arguments") == 0;
  std::size_t written = 0;
  for (std::size_t i = 0; ok && i < p.required; ++i) {
    if (slots[i]) continue;
    const char* separator = written == 0 ? "" : missing == 2 ? " and " : written + 1 == missing ? ", and " : ", ";
    ok = PyUnicodeWriter_Format(writer, "%s'%s'", separator, p.names[i]) == 0;
    ++written;
  }
  if (!ok) {
    PyUnicodeWriter_Discard(writer);
    return Failure::fetched();
  }
  Owned text = Owned::steal(PyUnicodeWriter_Finish(writer));
  if (!text) return Failure::fetched();
  return Failure::raised(PyExc_TypeError, std::move(text));
}

// The index of the parameter named by `keyword`, or -1.
Py_ssize_t parameter_index(const Parameters& p, PyObject* keyword) {
  Py_ssize_t length = 0;
  const char* text = PyUnicode_AsUTF8AndSize(keyword, &length);
  if (!text) {
    PyErr_Clear();  // a name without UTF-8 form matches no parameter
    return -1;
  }
  for (std::size_t i = 0; i < p.names.size(); ++i) {
    const char* name = p.names[i];
    if (std::strlen(name) == static_cast<std::size_t>(length) && std::memcmp(name, text, length) == 0) {
      return static_cast<Py_ssize_t>(i);
    }
  }
  return -1;
}

}  // namespace

Outcome<void> bind_into(const char* name, std::span<const char* const> parameters, std::size_t required, CallArgs call,
                        std::span<PyObject*> slots) {
  const Parameters p{name, parameters, required};
  const auto count = static_cast<Py_ssize_t>(parameters.size());
  for (Py_ssize_t i = 0; i < call.nargs && i < count; ++i) slots[i] = call.args[i];
  if (call.nargs > count) return fail(too_many_positional(p, call.nargs));

  const Py_ssize_t keywords = call.kwnames ? PyTuple_GET_SIZE(call.kwnames) : 0;
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(call.kwnames, k);
    const Py_ssize_t index = parameter_index(p, keyword);
    if (index < 0) return fail(unexpected_keyword(p, keyword));
    if (slots[index]) {
      return fail(
          Failure::formatted(PyExc_TypeError, "%s() got multiple values for argument '%s'", name, parameters[index]));
    }
    slots[index] = call.args[call.nargs + k];
  }

  for (std::size_t i = static_cast<std::size_t>(call.nargs); i < required; ++i) {
    if (!slots[i]) return fail(missing_required(p, slots));
  }
  return {};
}

}  // namespace rdz
