"""parse_batch: many texts parsed on native threads into one Arrow table,
and ParseColumn, the same over one column of a table (what the command line
and Ray Data run)."""

from __future__ import annotations

import os
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any

import _tagmire_rs

from tagmire import _native
from tagmire._config import Config, native_config

# pyarrow ships no type information, so its objects are typed Any here; the
# docstrings name the real types.

#: The forms of parse_batch's output: "segments" lists each segment with
#: the annotations covering it, "spans" each span once with its annotation.
OUTPUT_FORMS: tuple[str, ...] = _native.OUTPUT_FORMS

#: The columns parse_batch puts out in the segments form, in order: their
#: names and types are the native parser's (src/batch/output_columns.cpp),
#: read here through Arrow's PyCapsule interface.
OUTPUT_COLUMNS: tuple[str, ...] = _native.OUTPUT_COLUMNS["segments"]

#: A row may take this many bytes of output per byte of its text, unless
#: told otherwise.
MAX_OUTPUT_RATIO = 64


def output_columns(form: str = "segments") -> tuple[str, ...]:
    """The columns parse_batch puts out in `form`, in order."""
    try:
        return _native.OUTPUT_COLUMNS[form]
    except (KeyError, TypeError):
        raise ValueError(f"form must be 'segments' or 'spans', not {form!r}") from None


def _ratio(max_output_ratio: object) -> int:
    """The native form of max_output_ratio: 0 for no bound."""
    if max_output_ratio is None:
        return 0
    if isinstance(max_output_ratio, bool) or not isinstance(max_output_ratio, int) or max_output_ratio < 1:
        raise ValueError(f"max_output_ratio must be a positive int or None, not {max_output_ratio!r}")
    return max_output_ratio


def _pyarrow() -> Any:
    try:
        import pyarrow  # type: ignore[import-untyped, unused-ignore]
    except ImportError:
        raise ImportError(
            'the batch parser needs pyarrow: pip install "tagmire[arrow]"') from None
    return pyarrow


def usable_cores() -> int:
    """The cores this process may run on."""
    if hasattr(os, "sched_getaffinity"):
        return max(1, len(os.sched_getaffinity(0)))
    return os.cpu_count() or 1


def _thread_count(threads: object) -> int:
    """The threads to parse on: `threads`, or the usable cores when None,
    and never more than the usable cores, since a thread beyond them only
    waits and costs a stack."""
    cores = usable_cores()
    if threads is None:
        return cores
    if isinstance(threads, bool) or not isinstance(threads, int):
        raise TypeError(f"threads must be a positive int or None, not {type(threads).__name__}")
    if threads < 1:
        raise ValueError(f"threads must be a positive int or None, not {threads}")
    return min(threads, cores)


# --- the output ---------------------------------------------------------------

def output_schema(form: str = "segments") -> Any:
    """The schema of parse_batch's table in `form`."""
    output_columns(form)
    return _pyarrow().schema(_native.output_schema(form))


def _table(pa: Any, chunks: list[tuple[_native.ArrowExport, ...]], form: str) -> Any:
    """The table of the output chunks, each column's chunks over the
    parser's own buffers."""
    schema = output_schema(form)
    return pa.Table.from_arrays(
        [pa.chunked_array([pa.array(chunk[i]) for chunk in chunks], type=column.type)
         for i, column in enumerate(schema)],
        schema=schema)


# --- the input -----------------------------------------------------------------

def _string_chunks(pa: Any, texts: object) -> list[Any]:
    """The Arrow string arrays of an object that exports Arrow data (or a
    pandas or NumPy column), each string or large_string: string views,
    dictionaries of any index type and all-null columns are converted."""
    if isinstance(texts, pa.ChunkedArray):
        arrays = list(texts.chunks)
        data_type = texts.type
    elif isinstance(texts, pa.Array):
        arrays, data_type = [texts], texts.type
    elif hasattr(texts, "__arrow_c_stream__"):
        stream = pa.chunked_array(texts)
        arrays, data_type = list(stream.chunks), stream.type
    elif hasattr(texts, "__arrow_c_array__"):
        array = pa.array(texts)
        arrays, data_type = [array], array.type
    elif hasattr(texts, "__array__"):
        # pandas (before its Arrow export) and NumPy mark a missing answer
        # with NaN, which from_pandas reads as null.
        try:
            array = pa.array(texts, from_pandas=True)
        except (pa.ArrowInvalid, pa.ArrowTypeError):
            raise TypeError(f"texts must hold strings, not {getattr(texts, 'dtype', type(texts).__name__)}") from None
        arrays, data_type = [array], array.type
    else:
        raise TypeError("texts must be a list of str or an Arrow string array, chunked array or stream, "
                        f"not {type(texts).__name__}")
    # A table, record batch or data frame of one column is that column.
    if pa.types.is_struct(data_type):
        if data_type.num_fields != 1:
            names = ", ".join(data_type.field(i).name for i in range(data_type.num_fields))
            raise TypeError(f"texts must hold one string column, not {data_type.num_fields} ({names})")
        arrays = [array.field(0) for array in arrays]
        data_type = data_type.field(0).type
    if pa.types.is_dictionary(data_type) and _is_string(pa, data_type.value_type):
        # Polars' Categorical is a dictionary of string views, which
        # pyarrow cannot take from directly: widen the values first.
        arrays = [array.dictionary.cast(pa.large_string()).take(array.indices) for array in arrays]
        data_type = pa.large_string()
    if pa.types.is_null(data_type):  # every answer missing
        arrays = [pa.nulls(len(array), pa.large_string()) for array in arrays]
    elif pa.types.is_string_view(data_type):
        arrays = [array.cast(pa.large_string()) for array in arrays]
    elif not _is_string(pa, data_type):
        raise TypeError(f"texts must be Arrow strings, not {data_type}")
    return arrays


def _is_string(pa: Any, data_type: Any) -> bool:
    return bool(pa.types.is_string(data_type) or pa.types.is_large_string(data_type)
                or pa.types.is_string_view(data_type))


def _array_buffers(pa: Any, array: Any) -> tuple[Any, ...]:
    validity, offsets, data = array.buffers()
    return (len(array), array.offset, validity if array.null_count else None, offsets, data,
            pa.types.is_large_string(array.type))


def parse_batch(texts: Sequence[str | None] | Any, config: Config | _tagmire_rs.ParserConfig | None = None, *,
                threads: int | None = None, errors: str = "strict", form: str = "segments",
                max_output_ratio: int | None = MAX_OUTPUT_RATIO) -> Any:
    """Parses every text and returns a pyarrow.Table with one row per text,
    in input order: `text` (the plain text), `segments` and `markers`, with
    byte and character offsets. A null text gives a null row.

    `form="spans"` puts out `spans` in place of `segments`: each span once,
    in the order the spans were recorded, with its offsets, `tag` and
    `attrs`. A segment's annotations are those of the spans covering it, in
    that order, so the spans say all that the segments say, in output that
    grows with the input however the spans nest.

    `texts` is a list or tuple of str (or None), or any Arrow string array,
    chunked array or stream, read through the Arrow PyCapsule interface
    (pyarrow, Polars, DuckDB, pandas with Arrow-backed columns); a table or
    data frame of a single string column is taken as that column, and a
    pandas or NumPy column's NaN is a null text. The rows are shared out
    over `threads` native threads with the interpreter lock released: the
    usable cores by default, and never more than them (a larger number is
    capped at the cores this process may run on). The output columns are
    the parser's own buffers, wrapped without copying; once the table is
    freed, their memory is kept for the next call (up to 256 MB in a
    process).

    A text that cannot be parsed (a str holding a lone surrogate, Arrow
    bytes that are not UTF-8) is dealt with by `errors`, as codecs do:
    "strict" raises InvalidTextError naming its row, "replace" puts U+FFFD
    in place of each lone surrogate and each ill-formed stretch of bytes
    (as `bytes.decode("utf-8", errors="replace")` does), and "null" gives a
    null row. No output column ever holds invalid UTF-8.

    A row's output is bounded by its text: a row whose columns would take
    more than `max_output_ratio` bytes per byte of its text (rows under
    1 KB counted as 1 KB) is measured before they are built and dealt with
    by `errors` too: "strict" raises OutputTooLargeError (an
    InvalidTextError) naming the row, "replace" gives the row's text alone,
    with no annotations and no markers (one unannotated segment), and
    "null" a null row. Nested spans that stay open (retro_line tags under
    a configuration without the presets' reading rules) make segment
    annotations grow with the square of the text; the spans form does not.
    None lifts the bound.
    """
    pa = _pyarrow()
    parser_config = native_config(config)
    thread_count = _thread_count(threads)
    output_columns(form)
    options = (errors, form, _ratio(max_output_ratio))
    if isinstance(texts, list | tuple):
        chunks = _native.parse_texts(texts, parser_config, thread_count, *options)
    elif isinstance(texts, str | bytes):
        raise TypeError("texts must be a list of str or an Arrow string array, not a single str")
    else:
        arrays = _string_chunks(pa, texts)
        chunks = _native.parse_arrow([_array_buffers(pa, array) for array in arrays], parser_config, thread_count,
                                     *options)
    return _table(pa, chunks, form)


# --- one column of a table -----------------------------------------------------

#: parse_batch's policies for text that cannot be parsed, as the native module names them.
ERRORS: tuple[str, ...] = _native.ERROR_POLICIES


def answer_column(table: Any, path: str) -> tuple[Any, str | None]:
    """The column of `table` named `path`, or else the field that the dotted
    `path` reaches inside a struct column (`response.content`), and the name
    of the table's column that it is (None for a field inside a struct).
    A column whose own name has dots wins over the same path into structs."""
    import pyarrow.compute as pc  # type: ignore[import-untyped, unused-ignore]

    names = table.column_names
    if path in names:
        return table.column(path), path
    parts = path.split(".")
    for cut in range(len(parts) - 1, 0, -1):
        top = ".".join(parts[:cut])
        if top not in names:
            continue
        column, reached = table.column(top), top
        for name in parts[cut:]:
            struct = column.type
            if not _pyarrow().types.is_struct(struct):
                raise KeyError(f"{reached!r} holds {struct}, not fields, so it has no field {name!r}")
            fields = [struct.field(i).name for i in range(struct.num_fields)]
            if name not in fields:
                raise KeyError(f"{reached!r} has no field {name!r} (fields: {', '.join(fields) or 'none'})")
            column, reached = pc.struct_field(column, [fields.index(name)]), f"{reached}.{name}"
        return column, None
    raise KeyError(f"no column {path!r} (columns: {', '.join(names) or 'none'})")


def holds_answers(data_type: Any) -> bool:
    """Whether a column of this type can be parsed: strings, string views,
    dictionaries of them, or only nulls."""
    pa = _pyarrow()
    if pa.types.is_dictionary(data_type):
        data_type = data_type.value_type
    return _is_string(pa, data_type) or pa.types.is_null(data_type)


class ColumnClash(ValueError):
    """An output column would take the name of another: `name` is the name,
    `kind` says which output wants it ("keep_raw", "parsed" or "input" for
    a table that names two columns alike)."""

    def __init__(self, message: str, name: str, kind: str) -> None:
        super().__init__(message)
        self.name = name
        self.kind = kind


def parsed_names(prefix: str = "", form: str = "segments") -> tuple[str, ...]:
    """The names of the parsed columns of `form` under `prefix`."""
    return tuple(prefix + name for name in output_columns(form))


@dataclass(frozen=True)
class ParseColumn:
    """Parses the string column `column` of a table or record batch and
    returns the table's other columns followed by `text`, `segments` and
    `markers`. Picklable, so that Ray Data can ship it to its workers:

        dataset.map_batches(ParseColumn("answer", Config.cite(), threads=1), batch_format="pyarrow")

    `column` may be a dotted path to a field of a struct column
    (`response.content`); the struct column is then kept whole. `keep_raw`
    keeps the answer as it was under that name, before the parsed columns.
    `prefix` goes before the parsed columns' names (`prefix="parsed_"`
    gives `parsed_text`, `parsed_segments`, `parsed_markers`), so that a
    parsed table can be parsed again. No column is ever replaced: an
    output column that would take the name of another raises ColumnClash.

    `errors` is parse_batch's policy for text that cannot be parsed, and it
    holds for every other string of the table too: "strict" raises
    InvalidTextError for the answer or for a field beside it that is not
    UTF-8, "replace" mends each bad sequence to U+FFFD, and "null" makes
    the answer's row, or the field's value, null. `form` and
    `max_output_ratio` are parse_batch's (`spans` in place of `segments`
    with `form="spans"`).
    """

    column: str = "text"
    config: Config = field(default_factory=Config)
    threads: int | None = None
    keep_raw: str | None = None
    errors: str = "strict"
    prefix: str = ""
    form: str = "segments"
    max_output_ratio: int | None = MAX_OUTPUT_RATIO

    def output_names(self, table_names: Sequence[str]) -> list[str]:
        """The columns of the output for an input of these columns; raises
        ColumnClash where two would share a name."""
        names = list(table_names)
        if len(set(names)) != len(names):
            twice = next(name for name in names if names.count(name) > 1)
            raise ColumnClash(f"the table has two columns named {twice!r}", twice, "input")
        if self.column in names:
            names.remove(self.column)
        if self.keep_raw is not None:
            if self.keep_raw in names:
                raise ColumnClash(f"keep_raw {self.keep_raw!r}: the table has a column of that name; "
                                  "choose another", self.keep_raw, "keep_raw")
            names.append(self.keep_raw)
        for name in parsed_names(self.prefix, self.form):
            if name in names:
                whose = "the raw answer's" if name == self.keep_raw else "the table's"
                raise ColumnClash(f"column {name!r}: the parsed column of that name would replace {whose}; "
                                  "a prefix renames the parsed columns", name, "parsed")
            names.append(name)
        return names

    def __call__(self, batch: Any) -> Any:
        from tagmire._text_fields import valid_text

        pa = _pyarrow()
        table = batch if isinstance(batch, pa.Table) else pa.table(batch)
        answers, name = answer_column(table, self.column)
        if not holds_answers(answers.type):
            raise TypeError(f"column {self.column!r} holds {answers.type}, not strings")
        self.output_names(table.column_names)
        kept = table if name is None else table.drop_columns([name])
        if self.keep_raw is not None:
            kept = kept.append_column(pa.field(self.keep_raw, answers.type), answers)
        parsed = parse_batch(answers, self.config, threads=self.threads, errors=self.errors, form=self.form,
                             max_output_ratio=self.max_output_ratio)
        # The answer's policy holds for its neighbours, the raw answer and a
        # struct that holds the answer included.
        kept = valid_text(kept, self.errors)
        for output, renamed in zip(output_columns(self.form), parsed_names(self.prefix, self.form)):
            kept = kept.append_column(parsed.schema.field(output).with_name(renamed), parsed.column(output))
        return kept
