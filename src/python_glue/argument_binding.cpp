#include "python_glue/argument_binding.h"

#include "python_glue/py_ref.h"

namespace python_glue {
namespace {

void raise_too_many_positional(const Signature& signature, Py_ssize_t given) {
  const auto count = static_cast<Py_ssize_t>(signature.parameters.size());
  const char* verb = given == 1 ? "was" : "were";
  if (signature.required == count) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given",
                 signature.function, count, count == 1 ? "" : "s", given, verb);
  } else {
    PyErr_Format(PyExc_TypeError, "%s() takes from %zd to %zd positional arguments but %zd %s given",
                 signature.function, signature.required, count, given, verb);
  }
}

// "missing 2 required positional arguments: 'tag' and 'strategy'", worded
// as the interpreter words it for functions written in Python.
void raise_missing(const Signature& signature, PyObject* const* bound) {
  PyRef names(PyList_New(0));
  if (!names) return;
  for (Py_ssize_t i = 0; i < signature.required; ++i) {
    if (bound[i] != nullptr) continue;
    PyRef name(PyUnicode_FromFormat("'%s'", signature.parameters[static_cast<std::size_t>(i)]));
    if (!name || PyList_Append(names.get(), name.get()) < 0) return;
  }
  const Py_ssize_t missing = PyList_GET_SIZE(names.get());
  PyRef listed;
  if (missing == 1) {
    listed = PyRef::borrow(PyList_GET_ITEM(names.get(), 0));
  } else {
    PyRef last(PySequence_GetItem(names.get(), missing - 1));
    PyRef head(PyList_GetSlice(names.get(), 0, missing - 1));
    PyRef separator(PyUnicode_FromString(", "));
    if (!last || !head || !separator) return;
    PyRef joined(PyUnicode_Join(separator.get(), head.get()));
    if (!joined) return;
    listed = PyRef(PyUnicode_FromFormat(missing == 2 ? "%U and %U" : "%U, and %U", joined.get(), last.get()));
    if (!listed) return;
  }
  PyErr_Format(PyExc_TypeError, "%s() missing %zd required positional argument%s: %U", signature.function,
               missing, missing == 1 ? "" : "s", listed.get());
}

Py_ssize_t parameter_index(const Signature& signature, PyObject* keyword) {
  for (std::size_t i = 0; i < signature.parameters.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(keyword, signature.parameters[i]) == 0) {
      return static_cast<Py_ssize_t>(i);
    }
  }
  return -1;
}

}  // namespace

bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** bound) noexcept {
  const auto count = static_cast<Py_ssize_t>(signature.parameters.size());
  if (nargs > count) {
    raise_too_many_positional(signature, nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < count; ++i) bound[i] = i < nargs ? args[i] : nullptr;
  if (kwnames == nullptr && nargs >= signature.required) return true;

  const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    const Py_ssize_t index = parameter_index(signature, keyword);
    if (index < 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", signature.function,
                   keyword);
      return false;
    }
    if (bound[index] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", signature.function,
                   signature.parameters[static_cast<std::size_t>(index)]);
      return false;
    }
    bound[index] = args[nargs + k];
  }
  for (Py_ssize_t i = 0; i < signature.required; ++i) {
    if (bound[i] == nullptr) {
      raise_missing(signature, bound);
      return false;
    }
  }
  return true;
}

}  // namespace python_glue
