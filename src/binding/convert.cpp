#include "binding/convert.hpp"

#include "binding/compat.hpp"

#include <cstring>

namespace rdz {
namespace {

// Whether `type` is numpy's boolean scalar type; any error reading its names is a no.
bool is_numpy_bool(PyTypeObject* type) {
  Owned module = Owned::steal(PyType_GetModuleName(type));
  if (!module || !PyUnicode_Check(module.get()) || PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) {
    PyErr_Clear();
    return false;
  }
  Owned name = Owned::steal(PyType_GetName(type));
  if (!name || !PyUnicode_Check(name.get())) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
         PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0;
}

Outcome<bool> numpy_truth(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  if (!type->tp_as_number || !type->tp_as_number->nb_bool) {
    Owned type_text = Owned::steal(PyObject_Str(reinterpret_cast<PyObject*>(type)));
    if (!type_text) return fail(Failure::fetched());
    Owned text = Owned::steal(
        PyUnicode_FromFormat("object of type '%U' does not define a '__bool__' conversion", type_text.get()));
    if (!text) return fail(Failure::fetched());
    return fail(Failure::raised(PyExc_TypeError, std::move(text)));
  }
  const int truth = type->tp_as_number->nb_bool(object);
  if (truth == 0 || truth == 1) return truth == 1;
  return fail(Failure::fetched());
}

}  // namespace

Failure not_an_instance(PyObject* object, const char* target) {
  if (object == Py_None) {
    return Failure::formatted(PyExc_TypeError, "'None' is not an instance of '%s'", target);
  }
  Owned name = Owned::steal(PyType_GetQualName(Py_TYPE(object)));
  if (!name) {
    PyErr_Clear();
    name = Owned::steal(PyUnicode_FromString("<failed to extract type name>"));
    if (!name) return Failure::fetched();
  }
  Owned text = Owned::steal(PyUnicode_FromFormat("'%U' object is not an instance of '%s'", name.get(), target));
  if (!text) return Failure::fetched();
  return Failure::raised(PyExc_TypeError, std::move(text));
}

Outcome<std::int64_t> as_int64(PyObject* object) {
  const long long value = PyLong_AsLongLong(object);
  if (value == -1 && PyErr_Occurred()) return fail(Failure::fetched());
  return static_cast<std::int64_t>(value);
}

Outcome<std::int32_t> as_int32(PyObject* object) {
  int value = 0;
  if (PyLong_AsInt32(object, &value) < 0) return fail(Failure::fetched());
  return static_cast<std::int32_t>(value);
}

Outcome<bool> as_bool(PyObject* object) {
  if (Py_IS_TYPE(object, &PyBool_Type)) return object == Py_True;
  if (!is_numpy_bool(Py_TYPE(object))) return fail(not_an_instance(object, "bool"));
  return numpy_truth(object);
}

}  // namespace rdz
