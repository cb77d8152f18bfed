// tagmire.StreamUpdate and tagmire.PreviewUpdate: what one piece of a stream
// settled and, for the second, how the preview changed.
#include "package/record_fields.h"
#include "package/record_types.h"
#include "package/records.h"
#include "python_glue/released_gil.h"

namespace package {

using python_glue::PyRef;
using python_glue::record_of;

namespace {

PyObject* update_committed(PyObject* self, void*) noexcept { return Py_NewRef(record_of<PyUpdate>(self).committed.get()); }
PyObject* update_pending(PyObject* self, void*) noexcept { return Py_NewRef(record_of<PyUpdate>(self).pending.get()); }
PyObject* update_revised(PyObject* self, void*) noexcept { return Py_NewRef(record_of<PyUpdate>(self).revised.get()); }

auto update_methods =
    to_dict_only<kUpdateFields>("to_dict($self, /)\n--\n\nThe update as plain dicts and lists, ready for json.dumps.");
PyGetSetDef update_getset[] = {
    {"committed", update_committed, nullptr, "The text that settled: final.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
auto update_slots = record_slots<PyUpdate, kUpdateFields>(update_getset, update_methods.data(),
                                                          "What one piece of a stream settled.");

auto preview_update_methods = to_dict_only<kPreviewUpdateFields>(
    "to_dict($self, /)\n--\n\nThe update as plain dicts and lists, ready for json.dumps.");
PyGetSetDef preview_update_getset[] = {
    {"committed", update_committed, nullptr, "The text that settled: final.", nullptr},
    {"pending", update_pending, nullptr,
     "The preview from `pending.start` on: how the held-back text now reads there, up to its end. Provisional.",
     nullptr},
    {"revised", update_revised, nullptr,
     "Earlier stretches of the preview whose segments changed, each to replace what was shown between its start "
     "and end. Provisional.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
auto preview_update_slots =
    record_slots<PyUpdate, kPreviewUpdateFields>(preview_update_getset, preview_update_methods.data(),
                                                 "What one piece of a stream settled, and how the preview changed.");

}  // namespace

PyType_Spec update_spec = {"tagmire.StreamUpdate", sizeof(PyUpdate), 0, kRecordTypeFlags, update_slots.data()};
PyType_Spec preview_update_spec = {"tagmire.PreviewUpdate", sizeof(PyUpdate), 0, kRecordTypeFlags,
                                   preview_update_slots.data()};

PyObject* make_update(PyObject* committed) noexcept {
  return python_glue::adopt_record<PyUpdate>(update_type(), Update{PyRef::borrow(committed), PyRef(), PyRef()});
}

PyObject* make_preview_update(PyObject* committed, PyObject* pending, PyObject* revised) noexcept {
  return python_glue::adopt_record<PyUpdate>(
      preview_update_type(), Update{PyRef::borrow(committed), PyRef::borrow(pending), PyRef::borrow(revised)});
}

}  // namespace package
