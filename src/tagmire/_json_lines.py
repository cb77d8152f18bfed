"""Arrow tables written as JSON lines by Arrow's own kernels, column by
column, without a Python object per value: a 200 MB answer with millions
of segments costs a few copies of its text, not a dict per segment.

Every value keeps its type: integers and decimals are written exactly,
floats as the shortest text that reads back to them (NaN and infinities,
which JSON lacks, as null), binary as base64, UUIDs as their text, dates
and times in ISO 8601, maps as objects. The parsed columns take the shape
of the records' `to_dict()`: a segment holds its text and its annotations'
`attrs` are objects, a marker holds its `annotation`.
"""

from __future__ import annotations

import base64
import json
import uuid
from collections.abc import Callable
from typing import Any

from tagmire._batch import OUTPUT_FORMS, _pyarrow, output_columns

# A slice of rows is turned into JSON at once up to about this many bytes
# of answers; a larger row is written column by column, each column's JSON
# dropped before the next is made.
SLICE_BYTES = 8 << 20
SLICE_ROWS = 1024

_ESCAPES = {"\\": "\\\\", '"': '\\"', "\n": "\\n", "\r": "\\r", "\t": "\\t", "\b": "\\b", "\f": "\\f"}
_ESCAPES.update({chr(code): f"\\u{code:04x}" for code in range(0x20) if chr(code) not in _ESCAPES})


def _name(name: str) -> str:
    return json.dumps(name, ensure_ascii=False)


def _compute() -> Any:
    import pyarrow.compute as pc  # type: ignore[import-untyped, unused-ignore]

    return pc


def _concat(pa: Any, *parts: Any) -> Any:
    """Strings and string arrays joined element by element, as large strings."""
    pc = _compute()
    return pc.binary_join_element_wise(
        *[pa.scalar(part, pa.large_string()) if isinstance(part, str) else part for part in parts],
        pa.scalar("", pa.large_string()))


def _quoted(pa: Any, strings: Any) -> Any:
    """JSON strings of a string array (nulls stay null)."""
    pc = _compute()
    text = strings.cast(pa.large_string())
    if len(text) and pc.any(pc.match_substring_regex(text, r'[\x00-\x1f"\\]')).as_py():
        # The backslash first, so that no escape added later is doubled.
        for character, escape in _ESCAPES.items():
            if pc.any(pc.match_substring(text, character)).as_py():
                text = pc.replace_substring(text, character, escape)
    return _concat(pa, '"', text, '"')


def _per_value(pa: Any, array: Any, write: Callable[[Any], str]) -> Any:
    """JSON texts made in Python, for the types Arrow cannot format."""
    return pa.array([None if value is None else write(value) for value in array.to_pylist()], pa.large_string())


def _float_text(pa: Any, array: Any) -> Any:
    pc = _compute()
    finite = pc.is_finite(array)
    text = pc.if_else(finite, array.cast(pa.float64()).cast(pa.large_string()) if pa.types.is_float16(array.type)
                      else array.cast(pa.large_string()), None)
    # A whole number keeps its point, so that it reads back as a float.
    whole = pc.match_substring_regex(text, "^-?[0-9]+$")
    return pc.if_else(whole, _concat(pa, text, ".0"), text)


def _children(pa: Any, array: Any) -> tuple[Any, Any]:
    """(offsets from 0, the child values they index) of a list or map
    array, sliced to the array's own rows (`values` is the whole child)."""
    pc = _compute()
    offsets = array.offsets.cast(pa.int64())
    first = offsets[0].as_py()
    return pc.subtract(offsets, first), array.values.slice(first, offsets[-1].as_py() - first)


def _joined(pa: Any, offsets: Any, items: Any, validity: Any, opening: str, closing: str) -> Any:
    """`opening` + the items of each list, comma-separated, + `closing`."""
    pc = _compute()
    lists = pa.LargeListArray.from_arrays(offsets, items)
    text = _concat(pa, opening, pc.binary_join(lists, pa.scalar(",", pa.large_string())), closing)
    return text if validity is None else pc.if_else(validity, text, None)


def _lists(pa: Any, array: Any) -> Any:
    if pa.types.is_fixed_size_list(array.type) or pa.types.is_list_view(array.type) \
            or pa.types.is_large_list_view(array.type):
        array = array.cast(pa.large_list(array.type.value_field))
    offsets, values = _children(pa, array)
    validity = array.is_valid() if array.null_count else None
    return _joined(pa, offsets, json_texts(values), validity, "[", "]")


def _object(pa: Any, names: list[str], values: list[Any], validity: Any) -> Any:
    pc = _compute()
    if not names:
        text = pa.array(["{}"] * len(validity), pa.large_string())
    else:
        parts: list[Any] = []
        for i, (name, value) in enumerate(zip(names, values)):
            parts += [("{" if i == 0 else ",") + _name(name) + ":", value]
        text = _concat(pa, *parts, "}")
    return pc.if_else(validity, text, None)


def _struct(pa: Any, array: Any) -> Any:
    names = [field.name for field in array.type]
    return _object(pa, names, [json_texts(array.field(i)) for i in range(len(names))], array.is_valid())


def _map(pa: Any, array: Any) -> Any:
    pc = _compute()
    offsets, entries = _children(pa, array)
    keys, items = entries.field(0), entries.field(1)
    key_text = _quoted(pa, keys) if _is_text(pa, keys.type) else _quoted(pa, json_texts(keys))
    pairs = _concat(pa, key_text, ":", json_texts(items))
    return _joined(pa, offsets, pairs, array.is_valid() if array.null_count else None, "{", "}")


def _is_text(pa: Any, data_type: Any) -> bool:
    return bool(pa.types.is_string(data_type) or pa.types.is_large_string(data_type)
                or pa.types.is_string_view(data_type))


def json_texts(array: Any) -> Any:
    """The JSON text of each value of an Arrow array, "null" for a null,
    as a large_string array of the same length."""
    pa = _pyarrow()
    pc = _compute()
    types = pa.types
    data_type = array.type
    if isinstance(data_type, pa.ExtensionType) or types.is_dictionary(data_type):
        if getattr(data_type, "extension_name", "") == "arrow.uuid":
            text = _per_value(pa, array.storage, lambda value: f'"{uuid.UUID(bytes=value)}"')
        elif types.is_dictionary(data_type):
            text = json_texts(array.dictionary_decode())
        else:
            text = json_texts(array.storage)
    elif types.is_null(data_type):
        text = pa.nulls(len(array), pa.large_string())
    elif types.is_boolean(data_type):
        text = pc.if_else(array, "true", "false").cast(pa.large_string())
    elif types.is_integer(data_type) or types.is_decimal(data_type):
        text = array.cast(pa.large_string())
    elif types.is_floating(data_type):
        text = _float_text(pa, array)
    elif _is_text(pa, data_type):
        text = _quoted(pa, array)
    elif types.is_binary(data_type) or types.is_large_binary(data_type) or types.is_fixed_size_binary(data_type) \
            or types.is_binary_view(data_type):
        text = _per_value(pa, array, lambda value: f'"{base64.b64encode(value).decode("ascii")}"')
    elif types.is_date(data_type) or types.is_time(data_type):
        text = _quoted(pa, array.cast(pa.large_string()))
    elif types.is_timestamp(data_type):
        text = _quoted(pa, pc.replace_substring(array.cast(pa.large_string()), " ", "T", max_replacements=1))
    elif types.is_struct(data_type):
        text = _struct(pa, array)
    elif types.is_map(data_type):
        text = _map(pa, array)
    elif types.is_list(data_type) or types.is_large_list(data_type) or types.is_fixed_size_list(data_type) \
            or types.is_list_view(data_type) or types.is_large_list_view(data_type):
        text = _lists(pa, array)
    else:  # durations, intervals, unions: rare enough for Python
        text = _per_value(pa, array, lambda value: json.dumps(value, ensure_ascii=False, default=str))
    return pc.fill_null(text, "null")


# --- the parsed columns, in the records' shape --------------------------------------

def _annotations(pa: Any, tags: Any, attrs: Any) -> Any:
    """Annotations as to_dict() gives them: a tag and an object of attrs
    (the parser's map, written as a JSON object)."""
    return pa.StructArray.from_arrays([tags, attrs], names=["tag", "attrs"])


def _segment_texts(pa: Any, text: Any, segments: Any, flat: Any) -> Any:
    """Each segment's own text, sliced from its row's text without a copy:
    the segments of a row are consecutive and cover it."""
    pc = _compute()
    if not len(flat):
        return pa.array([], pa.large_string())
    text = text.cast(pa.large_string())
    offsets = pa.Array.from_buffers(pa.int64(), len(text) + 1, [None, text.buffers()[1]], offset=text.offset)
    base = pc.take(offsets, pc.list_parent_indices(segments))
    starts = pc.add(base, flat.field("start"))
    # Consecutive: each segment ends where the next begins, or is its row's last.
    ends = pc.add(base, flat.field("end"))
    del base
    consecutive = pc.all(pc.equal(ends[:-1], starts[1:])).as_py() is not False
    if consecutive:
        bounds = pa.concat_arrays([starts, ends[-1:]])
        del starts, ends
        return pa.Array.from_buffers(pa.large_string(), len(flat), [None, bounds.buffers()[1], text.buffers()[2]],
                                     offset=0)
    values = text.to_pylist()
    rows = pc.list_parent_indices(segments).to_pylist()
    return pa.array([values[row].encode()[start:end].decode() for row, start, end in
                     zip(rows, flat.field("start").to_pylist(), flat.field("end").to_pylist())], pa.large_string())


def _falses(pa: Any, length: int) -> Any:
    """`length` times false, from a zeroed bitmap."""
    return pa.Array.from_buffers(pa.bool_(), length, [None, pa.py_buffer(bytes((length + 7) // 8))])


def record_shaped(table: Any, prefix: str = "") -> Any:
    """`table` with its parsed columns as `to_dict()` shapes them (either
    form). Each record batch is shaped on its own: combining a table's
    chunks first would copy every segment once more."""
    pa = _pyarrow()
    for form in OUTPUT_FORMS:
        names = [prefix + name for name in output_columns(form)]
        if all(name in table.column_names for name in names):
            break
    else:
        return table
    annotated, markers = [], []
    for batch in table.select(names).to_batches():
        text, items, marker_items = batch.columns
        annotated.append(_shaped_segments(pa, text, items) if form == "segments" else _shaped_spans(pa, items))
        markers.append(_shaped_markers(pa, marker_items))
    for name, chunks in zip(names[1:], (annotated, markers)):
        column = pa.chunked_array(chunks) if chunks else pa.chunked_array([], pa.null())
        table = table.set_column(table.column_names.index(name), name, column)
    return table


def _rows_of(pa: Any, rows: Any, offsets: Any, items: Any) -> Any:
    """Shaped items in the rows of `rows`, nulls kept."""
    return pa.LargeListArray.from_arrays(offsets, items, mask=rows.is_null() if rows.null_count else None)


def _shaped_segments(pa: Any, text: Any, segments: Any) -> Any:
    segment_offsets, flat = _children(pa, segments)
    annotation_offsets, annotation_items = _children(pa, flat.field("annotations"))
    shaped_annotations = pa.LargeListArray.from_arrays(
        annotation_offsets, _annotations(pa, annotation_items.field("tag"), annotation_items.field("attrs")))
    segment_structs = pa.StructArray.from_arrays(
        [_segment_texts(pa, text, segments, flat), flat.field("start"), flat.field("end"), flat.field("char_start"),
         flat.field("char_end"), shaped_annotations, _falses(pa, len(flat))],
        names=["text", "start", "end", "char_start", "char_end", "annotations", "continues"])
    return _rows_of(pa, segments, segment_offsets, segment_structs)


def _shaped_spans(pa: Any, spans: Any) -> Any:
    """Spans with their annotation as one object, as a marker holds its own."""
    span_offsets, flat = _children(pa, spans)
    span_structs = pa.StructArray.from_arrays(
        [flat.field("start"), flat.field("end"), flat.field("char_start"), flat.field("char_end"),
         _annotations(pa, flat.field("tag"), flat.field("attrs"))],
        names=["start", "end", "char_start", "char_end", "annotation"])
    return _rows_of(pa, spans, span_offsets, span_structs)


def _shaped_markers(pa: Any, markers: Any) -> Any:
    marker_offsets, marker_items = _children(pa, markers)
    marker_structs = pa.StructArray.from_arrays(
        [marker_items.field("pos"), marker_items.field("char_pos"),
         _annotations(pa, marker_items.field("tag"), marker_items.field("attrs"))],
        names=["pos", "char_pos", "annotation"])
    return _rows_of(pa, markers, marker_offsets, marker_structs)


# --- writing -------------------------------------------------------------------------

def _slices(table: Any, text_column: str | None) -> list[tuple[int, int]]:
    """(start, length) of runs of rows of at most SLICE_ROWS rows and about
    SLICE_BYTES of answers each."""
    pc = _compute()
    if text_column is None or text_column not in table.column_names:
        return [(start, min(SLICE_ROWS, table.num_rows - start)) for start in range(0, table.num_rows, SLICE_ROWS)]
    sizes = pc.fill_null(pc.binary_length(table.column(text_column)), 0).to_pylist()
    slices, start, size = [], 0, 0
    for row, length in enumerate(sizes):
        if row > start and (row - start >= SLICE_ROWS or size + length > SLICE_BYTES):
            slices.append((start, row - start))
            start, size = row, 0
        size += length
    if start < table.num_rows:
        slices.append((start, table.num_rows - start))
    return slices


def _write_text(out: Any, texts: Any) -> None:
    """The data of a large_string array without nulls, as one write."""
    pa = _pyarrow()
    offsets = pa.Array.from_buffers(pa.int64(), len(texts) + 1, [None, texts.buffers()[1]], offset=texts.offset)
    start, end = offsets[0].as_py(), offsets[-1].as_py()
    out.write(memoryview(texts.buffers()[2])[start:end])


# The items of one row's list are turned into JSON this many at a time, so
# that a row of millions of segments never holds all of their JSON at once.
LIST_ITEMS = 1 << 16


def _write_value(out: Any, column: Any) -> None:
    """The JSON of a one-row column, written in pieces where it is a long list."""
    pa = _pyarrow()
    pc = _compute()
    # The row's own chunk: combining the chunks would copy the column.
    array = next((chunk for chunk in column.chunks if len(chunk)), None)
    if array is None:
        array = column.combine_chunks()
    if not (pa.types.is_large_list(array.type) or pa.types.is_list(array.type)) or not array.is_valid()[0].as_py():
        _write_text(out, json_texts(array))
        return
    _, items = _children(pa, array)
    out.write(b"[")
    for start in range(0, len(items), LIST_ITEMS):
        texts = json_texts(items.slice(start, LIST_ITEMS))
        joined = pc.binary_join(pa.LargeListArray.from_arrays(pa.array([0, len(texts)], pa.int64()), texts),
                                pa.scalar(",", pa.large_string()))
        if start:
            out.write(b",")
        _write_text(out, joined)
    out.write(b"]")


def write_json_lines(table: Any, out: Any, prefix: str = "") -> None:
    """`table` as JSON lines into the binary stream `out`."""
    pa = _pyarrow()
    pc = _compute()
    names = table.column_names
    for start, length in _slices(table, prefix + "text"):
        rows = record_shaped(table.slice(start, length), prefix)
        if length == 1:
            # One large row: each column's JSON made, written and dropped.
            for i, column in enumerate(rows.columns):
                out.write((("{" if i == 0 else ",") + _name(names[i]) + ":").encode())
                _write_value(out, column)
            out.write(b"}\n" if names else b"{}\n")
            continue
        parts: list[Any] = []
        for i, column in enumerate(rows.columns):
            parts += [("{" if i == 0 else ",") + _name(names[i]) + ":", json_texts(column.combine_chunks())]
        lines = _concat(pa, *parts, "}\n") if names else \
            pa.array(["{}\n"] * length, pa.large_string())
        _write_text(out, lines.cast(pa.large_string()))
