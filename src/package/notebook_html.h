// The notebook's view of a tagmire.ParsedText (its _repr_html_): the text
// with each annotated stretch highlighted and followed by its tags, the
// markers where they stand, attributes in the tooltips. Kept in a file of
// its own, apart from the records it reads.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace package {

// _repr_html_ of the ParsedText `self`: a new str, or null with an
// exception set.
PyObject* text_repr_html(PyObject* self, PyObject*) noexcept;

}  // namespace package
