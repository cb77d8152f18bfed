"""JSON numbers read exactly. pyarrow's JSON reader makes a field a float
column as soon as one of its numbers has a fraction, or does not fit 64
bits, and then rounds every integer above 2**53 on its way in. A block
whose integers could be rounded so is read again with every number
outside a string turned into a marked string, and each such column is
then typed by all of its numbers at once: integers as int64 (uint64,
or a decimal of up to 76 digits, when larger), fractions as float64
when every integer beside them is exact as a float. Anything else is
refused, naming the field, rather than rounded.
"""

from __future__ import annotations

import re
from collections.abc import Callable
from typing import Any

from tagmire._batch import _pyarrow
from tagmire._inputs import DataError

# A JSON string, or a number outside strings.
_TOKENS = re.compile(rb'"[^"\\]*(?:\\.[^"\\]*)*"|-?\d+(?:\.\d+)?(?:[eE][-+]?\d+)?', re.DOTALL)
# Integers of 16 digits or more: the first that a float may round.
_LONG_DIGITS = re.compile(rb"\d{16}")
_MARK = "\u0000#"
_EXACT = 2**53


def may_round(block: bytes, table: Any) -> bool:
    """Whether pyarrow may have rounded an integer of `block`: a float
    column and a long integer outside the strings."""
    if not _LONG_DIGITS.search(block) or not _has_float(_pyarrow(), table.schema):
        return False
    for match in _TOKENS.finditer(block):
        token = match.group()
        digits = token.lstrip(b"-")
        if not token.startswith(b'"') and digits.isdigit() and len(digits) >= 16:
            return True
    return False


def _has_float(pa: Any, fields: Any) -> bool:
    for field in fields:
        data_type = field.type
        while pa.types.is_list(data_type) or pa.types.is_large_list(data_type):
            data_type = data_type.value_type
        if pa.types.is_floating(data_type) or (pa.types.is_struct(data_type) and _has_float(pa, data_type)):
            return True
    return False


def marked(block: bytes) -> bytes:
    """`block` with every number outside a string a string of its text."""
    mark = _MARK.encode("unicode_escape").replace(b"\\x00", b"\\u0000")

    def token(match: re.Match[bytes]) -> bytes:
        text = match.group()
        return text if text.startswith(b'"') else b'"' + mark + text + b'"'

    return _TOKENS.sub(token, block)


def typed(table: Any, place: Callable[[int], str]) -> Any:
    """A table read from a marked block, its marked columns typed."""
    pa = _pyarrow()
    columns = [_typed(pa, column.combine_chunks(), name, place) for name, column in zip(table.column_names,
                                                                                          table.columns)]
    return pa.Table.from_arrays(columns, names=table.column_names)


def _typed(pa: Any, array: Any, path: str, place: Callable[[int], str]) -> Any:
    import pyarrow.compute as pc  # type: ignore[import-untyped, unused-ignore]

    data_type = array.type
    if pa.types.is_struct(data_type):
        fields = [_typed(pa, array.field(i), f"{path}.{field.name}", place) for i, field in enumerate(data_type)]
        return pa.StructArray.from_arrays(fields, names=[field.name for field in data_type],
                                          mask=array.is_null() if array.null_count else None)
    if pa.types.is_list(data_type) or pa.types.is_large_list(data_type):
        offsets = array.offsets
        first = offsets[0].as_py()
        values = _typed(pa, array.values.slice(first, offsets[-1].as_py() - first), f"{path}[]", place)
        return type(array).from_arrays(pc.subtract(offsets, first), values,
                                       mask=array.is_null() if array.null_count else None)
    if not (pa.types.is_string(data_type) or pa.types.is_large_string(data_type)):
        return array
    is_number = pc.starts_with(array, _MARK)
    numbers = int(pc.sum(is_number).as_py() or 0)
    if numbers == 0:
        return array
    if numbers != len(array) - array.null_count:
        row = int(pc.index(pc.invert(pc.fill_null(is_number, True)), True).as_py())
        raise DataError(f"{place(row)}: field {path!r} is a string here but a number on other lines; a field "
                        "holds one JSON type")
    text = pc.utf8_slice_codeunits(array, len(_MARK))
    if not pc.any(pc.match_substring_regex(text, r"[.eE]")).as_py():
        for integer in (pa.int64(), pa.uint64()):
            try:
                return text.cast(integer)
            except (pa.ArrowInvalid, OverflowError):
                pass
        digits = int(pc.max(pc.utf8_length(pc.utf8_ltrim(text, "-"))).as_py())
        if digits <= 76:
            return text.cast(pa.decimal128(38, 0) if digits <= 38 else pa.decimal256(76, 0))
        row = int(pc.index(pc.utf8_length(pc.utf8_ltrim(text, "-")), digits).as_py())
        raise DataError(f"{place(row)}: field {path!r} holds an integer of {digits} digits, more than a column "
                        "holds (76)")
    integers = pc.invert(pc.match_substring_regex(text, r"[.eE]"))
    whole = pc.filter(text, integers)
    inexact = pc.filter(whole, pc.greater(pc.utf8_length(pc.utf8_ltrim(whole, "-")), 15))
    for value in inexact.to_pylist():
        if abs(int(value)) > _EXACT:
            row = int(pc.index(text, value).as_py())
            raise DataError(f"{place(row)}: field {path!r} holds the integer {value}, which a float cannot hold "
                            "exactly, and fractions on other lines; a field holds one number type")
    return text.cast(pa.float64())
