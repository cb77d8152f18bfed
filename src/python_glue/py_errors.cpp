#include "python_glue/py_errors.h"

namespace python_glue {

PyRef take_pending_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  return PyRef(PyErr_GetRaisedException());
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return PyRef();
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr && PyExceptionInstance_Check(value)) {
    PyException_SetTraceback(value, traceback);
  }
  Py_XDECREF(traceback);
  Py_DECREF(type);
  return PyRef(value);
#endif
}

void restore_pending_exception(PyRef exception) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exception.release());
#else
  PyObject* value = exception.release();
  if (value == nullptr) {
    PyErr_Clear();
    return;
  }
  PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value)));
  PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

void raise_conversion_error(const char* param, PyObject* value, const char* target) noexcept {
  PyRef type_name(PyType_GetQualName(Py_TYPE(value)));
  if (!type_name) return;
  PyErr_Format(PyExc_TypeError, "argument '%s': '%U' object cannot be converted to '%s'", param,
               type_name.get(), target);
}

void raise_argument_error(const char* param, const char* message) noexcept {
  PyErr_Format(PyExc_TypeError, "argument '%s': %s", param, message);
}

void prefix_argument_error(const char* param) noexcept {
  PyRef exception = take_pending_exception();
  // Only a plain TypeError is rewritten: a subclass is somebody's own error
  // type, and replacing it would break their except clauses.
  if (!exception || !Py_IS_TYPE(exception.get(), reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
    restore_pending_exception(std::move(exception));
    return;
  }
  PyRef inner(PyObject_Str(exception.get()));
  if (!inner) return;
  PyRef message(PyUnicode_FromFormat("argument '%s': %U", param, inner.get()));
  if (!message) return;
  PyRef replacement(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!replacement) return;
  if (PyObject* cause = PyException_GetCause(exception.get())) {
    PyException_SetCause(replacement.get(), cause);  // steals `cause`
  }
  PyRef traceback(PyException_GetTraceback(exception.get()));
  if (traceback && PyException_SetTraceback(replacement.get(), traceback.get()) < 0) return;
  restore_pending_exception(std::move(replacement));
}

}  // namespace python_glue
