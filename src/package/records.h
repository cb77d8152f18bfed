// The package's records: ParsedText (a whole parse, or a run of a stream),
// Segment, Annotation, Marker, and the updates a stream hands out. One family
// of types whatever made them: tagmire.parse, a stream's settled runs, its
// previews. Each is a view of the records its ParsedText holds (run.h),
// built when a property is read, so that a result costs what its input does
// until it is read. What the rest of the package calls; record_types.h is
// what the types' own files share.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <string_view>
#include <vector>

#include "parser/stream.h"
#include "python_glue/str_text.h"
#include "types/parse_records.h"

namespace package {

// Creates the types into the module's state (native_state.h) and adds them
// to `module`. False with an exception set.
bool add_record_types(PyObject* module) noexcept;

// A new ParsedText for a one-shot parse of the str `input`: `text` (a str,
// a new reference taken) and the records `parts` describe, packed with the
// object (python_glue/str_records.h), which keeps `input`, where its
// annotations are read. Positions count the str's characters.
// Null with an exception set.
PyObject* parsed_text_of_parse(PyObject* text, const python_glue::StrView& input,
                               const types::ParseRecords::Parts& parts) noexcept;

// A new ParsedText for a run a stream settled, `char_start` the characters
// before it in the whole text.
PyObject* parsed_text_of_run(parser::SettledText&& run, std::size_t char_start);

// A new provisional ParsedText for a stretch of a stream's preview: `run`
// (whole-text bytes), its UTF-8 `text`, `char_start` the characters before
// it in the whole text; then the markers, and the unfinished markup shown as
// one last segment without annotations.
PyObject* parsed_text_of_preview(const parser::PreviewRun& run, std::string_view text, std::size_t char_start,
                                 std::vector<parser::PreviewMarker> markers, std::string_view unfinished,
                                 bool unfinished_continues);

// A new StreamUpdate holding `committed`, or a PreviewUpdate also holding
// `pending` and the tuple `revised` (new references taken).
PyObject* make_update(PyObject* committed) noexcept;
PyObject* make_preview_update(PyObject* committed, PyObject* pending, PyObject* revised) noexcept;

}  // namespace package
