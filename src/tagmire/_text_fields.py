"""The fields beside the answer held to the answer's rule: no string that
leaves the package is invalid UTF-8. A column is checked by Arrow's own
validation, which costs one pass over its bytes; only a column that fails
is read value by value, to name the first bad value ("strict") or to mend
every one ("replace": U+FFFD for each bad sequence, "null": a null value).
"""

from __future__ import annotations

from typing import Any

from tagmire._batch import _pyarrow
from tagmire._native import InvalidTextError


class InvalidFieldError(InvalidTextError):
    """A field beside the answer holds a string that is not UTF-8. `row` is
    its row in the table, `field` the path to the value (`meta.notes[2]`),
    `position` the byte where the trouble begins."""

    def __init__(self, message: str, row: int, field: str, position: int) -> None:
        super().__init__(message)
        self.row = row
        self.field = field
        self.position = position
        self.unit = "byte"


def _binary_twin(pa: Any, data_type: Any) -> Any:
    """`data_type` with every string type the binary type of the same
    layout, so that a column can be viewed, not copied, as its bytes."""
    types = pa.types
    if types.is_string(data_type):
        return pa.binary()
    if types.is_large_string(data_type):
        return pa.large_binary()
    if types.is_string_view(data_type):
        return pa.binary_view()
    if types.is_struct(data_type):
        return pa.struct([field.with_type(_binary_twin(pa, field.type)) for field in data_type])
    if types.is_map(data_type):
        return pa.map_(data_type.key_field.with_type(_binary_twin(pa, data_type.key_type)),
                       data_type.item_field.with_type(_binary_twin(pa, data_type.item_type)),
                       keys_sorted=data_type.keys_sorted)
    if types.is_large_list(data_type):
        return pa.large_list(data_type.value_field.with_type(_binary_twin(pa, data_type.value_type)))
    if types.is_fixed_size_list(data_type):
        return pa.list_(data_type.value_field.with_type(_binary_twin(pa, data_type.value_type)), data_type.list_size)
    if types.is_list(data_type):
        return pa.list_(data_type.value_field.with_type(_binary_twin(pa, data_type.value_type)))
    if types.is_dictionary(data_type):
        return pa.dictionary(data_type.index_type, _binary_twin(pa, data_type.value_type), data_type.ordered)
    return data_type


class _Bad(Exception):
    def __init__(self, path: str, position: int) -> None:
        self.path, self.position = path, position


def _mended(value: Any, data_type: Any, errors: str, path: str) -> Any:
    """A value read as bytes, its strings decoded by `errors`; raises _Bad
    naming the first bad string under "strict"."""
    if value is None:
        return None
    pa = _pyarrow()
    types = pa.types
    if types.is_dictionary(data_type):
        data_type = data_type.value_type
    if types.is_string(data_type) or types.is_large_string(data_type) or types.is_string_view(data_type):
        try:
            value.decode("utf-8")
        except UnicodeDecodeError as error:
            if errors == "strict":
                raise _Bad(path, error.start) from None
            return None if errors == "null" else value.decode("utf-8", "replace").encode("utf-8")
        return value
    if types.is_struct(data_type):
        return {field.name: _mended(value[field.name], field.type, errors, f"{path}.{field.name}")
                for field in data_type}
    if types.is_map(data_type):
        return [(_mended(key, data_type.key_type, errors, f"{path}[key]"),
                 _mended(item, data_type.item_type, errors, f"{path}[{key!r}]")) for key, item in value]
    if types.is_list(data_type) or types.is_large_list(data_type) or types.is_fixed_size_list(data_type):
        return [_mended(item, data_type.value_type, errors, f"{path}[{i}]") for i, item in enumerate(value)]
    return value


def _checked_chunk(pa: Any, chunk: Any, name: str, errors: str, offset: int) -> Any:
    try:
        chunk.validate(full=True)
        return chunk
    except pa.ArrowInvalid as error:
        # Only text is ours to mend; anything else pyarrow finds wrong in a
        # column is left for its own readers and writers to report.
        if "UTF8" not in str(error):
            return chunk
    original = chunk.type
    twin = _binary_twin(pa, original)
    values = chunk.view(twin).to_pylist()
    mended = []
    for row, value in enumerate(values):
        try:
            mended.append(_mended(value, original, errors, name))
        except _Bad as bad:
            from tagmire._terminal import printable

            raise InvalidFieldError(f"field {printable(bad.path)!r} of row {offset + row} is not Unicode text "
                                    f"(invalid UTF-8 at byte {bad.position})", offset + row, bad.path,
                                    bad.position) from None
    return pa.array(mended, twin).view(original)


def valid_text(table: Any, errors: str, *, skip: tuple[str, ...] = ()) -> Any:
    """`table` with every string value of every column (but those named in
    `skip`) valid UTF-8, by `errors`: "strict" raises InvalidFieldError
    for the first that is not, "replace" and "null" mend them."""
    pa = _pyarrow()
    columns = []
    changed = False
    for name, column in zip(table.column_names, table.columns):
        if name in skip:
            columns.append(column)
            continue
        chunks, offset = [], 0
        for chunk in column.chunks:
            checked = _checked_chunk(pa, chunk, name, errors, offset)
            changed |= checked is not chunk
            chunks.append(checked)
            offset += len(chunk)
        columns.append(pa.chunked_array(chunks, type=column.type))
    return pa.Table.from_arrays(columns, schema=table.schema) if changed else table
