// The records of one parse of a str (parse_str) as the result object that
// holds them keeps them: the module's ParseResult and the package's
// ParsedText alike. They are packed right after the object, in the same
// allocation, so that a parse allocates once for the object and all its
// records; or, when large, into a block of their own, on huge pages where
// the kernel has them (see util/large_block.h), so that a large parse does
// not fault in its records a page at a time.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <new>
#include <utility>

#include "python_glue/py_ref.h"
#include "python_glue/str_text.h"
#include "types/parse_records.h"
#include "util/large_block.h"

namespace python_glue {

// Positions count characters of the str that was parsed, `source`, whose
// tags the annotations are read from (types/annotation_store.h): it is kept
// as long as the records, and `form` is its kind.
struct StrRecords {
  int form = PyUnicode_1BYTE_KIND;
  types::ParseRecords records;
  util::LargeBlock block;  // where large records are packed; empty otherwise
  PyRef source;
};

// A new object of `type`, laid out as `Object` (PyObject_VAR_HEAD first),
// holding the records `parts` describe, from a parse of the str `source`:
// `make_record(object, StrRecords&&)` constructs the object's own record in
// place around them, and must not fail. ob_size is the records' size
// wherever they are: what the object holds. Null with MemoryError set.
template <class Object, class MakeRecord>
PyObject* new_with_records(PyTypeObject* type, const StrView& source, const types::ParseRecords::Parts& parts,
                           MakeRecord&& make_record) noexcept {
  static_assert(sizeof(Object) % 8 == 0, "the records after the object must be aligned");
  const std::size_t records_size = types::ParseRecords::packed_size(parts);
  const bool apart = records_size >= util::kLargeBlockBytes;
  util::LargeBlock block;
  if (apart) {
    try {
      block = util::LargeBlock(records_size);
    } catch (const std::bad_alloc&) {
      return PyErr_NoMemory();
    }
  }
  void* memory = PyObject_Malloc(sizeof(Object) + (apart ? 0 : records_size));
  if (memory == nullptr) return PyErr_NoMemory();
  auto* self = reinterpret_cast<Object*>(
      PyObject_InitVar(static_cast<PyVarObject*>(memory), type, static_cast<Py_ssize_t>(records_size)));
  std::byte* at = apart ? block.data() : reinterpret_cast<std::byte*>(self) + sizeof(Object);
  make_record(*self, StrRecords{source.kind, types::ParseRecords::pack_into(parts, at), std::move(block),
                                PyRef::borrow(source.str)});
  return reinterpret_cast<PyObject*>(self);
}

}  // namespace python_glue
