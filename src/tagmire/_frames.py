"""parse_frame: a column of a data frame parsed, the frame's own columns
kept and the parsed ones added beside them, in the frame's own kind:
pyarrow tables and record batches, Polars and pandas data frames."""

from __future__ import annotations

from typing import Any

import _tagmire_rs

from tagmire._batch import (MAX_OUTPUT_RATIO, ColumnClash, _pyarrow, answer_column, holds_answers, parse_batch,
                            parsed_names)
from tagmire._config import Config


def _top_column(names: list[str], column: str) -> str:
    """The frame's column that holds `column`: itself, or the struct column
    that a dotted path starts from (the longest name that matches)."""
    if column in names:
        return column
    parts = column.split(".")
    for cut in range(len(parts) - 1, 0, -1):
        if ".".join(parts[:cut]) in names:
            return ".".join(parts[:cut])
    raise KeyError(f"no column {column!r} (columns: {', '.join(names) or 'none'})")


def parsed_table(table: Any, column: str, config: Config | _tagmire_rs.ParserConfig | None, *, prefix: str,
                 **options: Any) -> Any:
    """The parsed columns of `table`'s `column`, named with `prefix`;
    `options` are parse_batch's."""
    pa = _pyarrow()
    answers, _ = answer_column(table, column)
    if not holds_answers(answers.type):
        raise TypeError(f"column {column!r} holds {answers.type}, not strings")
    parsed = parse_batch(answers, config, **options)
    return pa.Table.from_arrays(parsed.columns, names=[prefix + name for name in parsed.column_names])


def parsed_structs(table: Any) -> Any:
    """parse_batch's table as one struct array of text, segments and
    markers, null where the answer was (the form of a column of structs)."""
    pa = _pyarrow()
    table = table.combine_chunks()
    columns = [column.chunk(0) if column.num_chunks else pa.array([], column.type) for column in table.columns]
    return pa.StructArray.from_arrays(columns, names=table.column_names,
                                      mask=columns[0].is_null() if columns[0].null_count else None)


def parse_frame(frame: Any, column: str = "text", config: Config | _tagmire_rs.ParserConfig | None = None, *,
                prefix: str = "parsed_", threads: int | None = None, errors: str = "strict",
                form: str = "segments", max_output_ratio: int | None = MAX_OUTPUT_RATIO) -> Any:
    """Parses `column` of `frame` and returns a frame of the same kind with
    every column of `frame` and, after them, the parsed columns `text`,
    `segments` (`spans` with `form="spans"`) and `markers` under `prefix`
    (`parsed_text`, ...).

    `frame` is a pyarrow Table or RecordBatch, a Polars DataFrame or a
    pandas DataFrame (another object that exports an Arrow stream gives a
    pyarrow Table). `column` may be a dotted path into a struct column
    (`response.content`). The parsed columns are parse_batch's, with its
    `config`, `threads`, `errors`, `form` and `max_output_ratio`; the
    policy holds for every other
    string of a pyarrow frame too, as in ParseColumn (Polars and pandas
    hold only valid text). A parsed column that would take the name of a
    column of the frame raises ColumnClash: another prefix avoids it.
    """
    pa = _pyarrow()
    kind = _kind(frame)
    names = list(frame.column_names if kind in ("arrow", "batch") else map(str, frame.columns))
    top = _top_column(names, column)
    options = {"threads": threads, "errors": errors, "form": form, "max_output_ratio": max_output_ratio}
    for name in parsed_names(prefix, form):
        if name in names:
            raise ColumnClash(f"column {name!r}: the parsed column of that name would replace the frame's; "
                              "another prefix renames the parsed columns", name, "parsed")
    if kind in ("arrow", "batch"):
        from tagmire._text_fields import valid_text

        table = frame if kind == "arrow" else pa.Table.from_batches([frame])
        parsed = parsed_table(table, column, config, prefix=prefix, **options)
        table = valid_text(table, errors)
        for name, values in zip(parsed.column_names, parsed.columns):
            table = table.append_column(name, values)
        return table if kind == "arrow" else table.combine_chunks().to_batches()[0] if table.num_rows else \
            pa.RecordBatch.from_pylist([], schema=table.schema)
    if kind == "polars":
        import polars as pl

        answers = pa.table({top: frame.get_column(top).to_arrow()})
        parsed = parsed_table(answers, column, config, prefix=prefix, **options)
        return frame.hstack([pl.Series(name, values) for name, values in zip(parsed.column_names, parsed.columns)])
    import pandas as pd  # type: ignore[import-untyped, unused-ignore]

    answers = pa.Table.from_pandas(frame[[top]], preserve_index=False)
    parsed = parsed_table(answers, column, config, prefix=prefix, **options)
    return frame.assign(**{name: pd.Series(pd.arrays.ArrowExtensionArray(values), index=frame.index)
                           for name, values in zip(parsed.column_names, parsed.columns)})


def _kind(frame: Any) -> str:
    pa = _pyarrow()
    if isinstance(frame, pa.Table):
        return "arrow"
    if isinstance(frame, pa.RecordBatch):
        return "batch"
    module = type(frame).__module__.split(".")[0]
    if module == "polars" and type(frame).__name__ == "DataFrame":
        return "polars"
    if module == "pandas" and type(frame).__name__ == "DataFrame":
        return "pandas"
    raise TypeError(f"frame must be a pyarrow Table or RecordBatch, a Polars DataFrame or a pandas DataFrame, "
                    f"not {type(frame).__name__}")
