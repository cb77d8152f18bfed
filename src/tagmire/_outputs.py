"""The command line's outputs: JSON lines or Parquet, written to a
temporary file beside the target that replaces it only when the whole run
succeeded, with the mode a plain `open` would have given it; an output
that is one of the inputs, or lies inside an input folder, is refused
before anything is written."""

from __future__ import annotations

import contextlib
import datetime
import decimal
import json
import os
import secrets
import stat
from collections.abc import Iterator, Sequence
from pathlib import Path
from typing import IO, Any

from tagmire._batch import _pyarrow
from tagmire._inputs import DataError, UsageError

OUTPUT_SUFFIXES = (".parquet", ".jsonl", ".ndjson")
# Rows turned into Python objects at a time when writing JSON lines: a
# parsed row's segments are many small objects.
JSON_ROWS = 1024


def check_output(output: str, inputs: Sequence[str]) -> None:
    """Refuses an output that would overwrite an input or land inside an
    input folder, that has no suffix we write, or whose folder is missing."""
    if output == "-":
        return
    target = Path(output)
    if target.suffix.lower() not in OUTPUT_SUFFIXES:
        raise UsageError(f"{output}: cannot write {target.suffix or 'a file without suffix'} "
                         "(expected .parquet, .jsonl or .ndjson, or - for JSON lines on standard output)")
    if target.is_dir():
        raise UsageError(f"{output}: is a folder")
    if not target.parent.is_dir():
        raise UsageError(f"{output}: no such folder {str(target.parent)!r}")
    resolved = target.resolve()
    for name in inputs:
        if name == "-":
            continue
        if target.exists() and os.path.samefile(target, name):
            raise UsageError(f"{output}: is also an input ({name}); write the output elsewhere")
        if os.path.isdir(name):
            folder = Path(name).resolve()
            if resolved.is_relative_to(folder):
                raise UsageError(f"{output}: lies inside the input folder {name}; write the output elsewhere")


@contextlib.contextmanager
def replaced_atomically(target: Path) -> Iterator[Path]:
    """A new file beside `target` that becomes `target` only when the block
    succeeds; on any failure or interruption it is removed. It is created
    as `open` would create it (0666 less the umask), or takes the mode of
    the file it replaces."""
    temporary = None
    try:
        while temporary is None:
            # Named before it is made, so that an interruption between the
            # two still finds it to remove.
            temporary = target.with_name(f".{target.name}.{secrets.token_hex(4)}.partial")
            try:
                os.close(os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666))
            except FileExistsError:  # another's: never ours to remove
                temporary = None
        with contextlib.suppress(FileNotFoundError):
            os.chmod(temporary, stat.S_IMODE(os.stat(target).st_mode))
        yield temporary
        os.replace(temporary, target)
    except BaseException:
        if temporary is not None:
            with contextlib.suppress(OSError):
                os.unlink(temporary)
        raise


# --- JSON lines ---------------------------------------------------------------

def _json_value(value: object) -> object:
    if isinstance(value, datetime.date | datetime.time):
        return value.isoformat()
    if isinstance(value, bytes):
        return value.decode("utf-8", "replace")
    if isinstance(value, decimal.Decimal | datetime.timedelta):
        return str(value)
    raise TypeError(f"{type(value).__name__} has no JSON form")


def write_json_lines(table: Any, out: IO[str]) -> None:
    for start in range(0, table.num_rows, JSON_ROWS):
        try:
            rows = table.slice(start, JSON_ROWS).to_pylist()
        except UnicodeDecodeError:
            raise DataError("a field beside the answer holds text that is not Unicode (invalid UTF-8 or a lone "
                            "surrogate); --errors replace reads it as U+FFFD") from None
        out.write("".join(json.dumps(row, ensure_ascii=False, default=_json_value) + "\n" for row in rows))


# --- Parquet ----------------------------------------------------------------------

class SchemaGrew(Exception):
    """A batch holds a column, or a wider type, that the Parquet output's
    columns, set by the batches before it, do not: the output must be
    written again with the columns of the whole input."""

    def __init__(self, column: str, row: int, message: str) -> None:
        super().__init__(message)
        self.column = column
        self.row = row
        self.place = ""  # where the row is, once the batch it came from names it


def first_value_row(column: Any) -> int:
    import pyarrow.compute as pc  # type: ignore[import-untyped, unused-ignore]

    return max(0, int(pc.index(column.is_valid(), True).as_py()))


class ParquetSink:
    """One Parquet file. Its columns are `schema` when given, else those of
    the first batch; a later batch is fitted to them (a column it lacks is
    null, a narrower type widened), and one that does not fit raises
    SchemaGrew."""

    def __init__(self, path: Path, schema: Any = None) -> None:
        self.path = path
        self.schema = schema
        self.writer: Any = None

    def _fitted(self, table: Any) -> Any:
        pa = _pyarrow()
        if table.schema.equals(self.schema):
            return table
        for field in table.schema:
            if self.schema.get_field_index(field.name) < 0:
                raise SchemaGrew(field.name, first_value_row(table.column(field.name)),
                                 f"field {field.name!r} first appears here, after the rows before it set "
                                 "the Parquet output's columns")
        columns = []
        for field in self.schema:
            if field.name not in table.column_names:
                columns.append(pa.nulls(table.num_rows, field.type))
                continue
            column = table.column(field.name)
            if column.type != field.type:
                try:
                    wider = pa.unify_schemas([pa.schema([field]), pa.schema([(field.name, column.type)])],
                                             promote_options="permissive").field(0).type
                except (pa.ArrowInvalid, pa.ArrowTypeError):
                    wider = None
                if wider != field.type:
                    raise SchemaGrew(field.name, first_value_row(column),
                                     f"field {field.name!r} holds {column.type} here but {field.type} in the rows "
                                     "before; a Parquet column holds one type")
                column = column.cast(field.type)
            columns.append(column)
        return pa.Table.from_arrays(columns, schema=self.schema)

    def write(self, table: Any) -> None:
        import pyarrow.parquet as pq  # type: ignore[import-untyped, unused-ignore]

        if self.schema is None:
            self.schema = table.schema
        table = self._fitted(table)
        if self.writer is None:
            self.writer = pq.ParquetWriter(str(self.path), self.schema)
        self.writer.write_table(table)

    def close(self, empty_schema: Any) -> None:
        import pyarrow.parquet as pq  # type: ignore[import-untyped, unused-ignore]

        if self.writer is not None:
            self.writer.close()
        else:  # no rows at all: still a valid file, of the columns known
            pq.write_table((self.schema or empty_schema).empty_table(), str(self.path))


def unite(schemas: Sequence[Any]) -> Any:
    """One schema for several, each type the widest of its column's."""
    pa = _pyarrow()
    try:
        return pa.unify_schemas(list(schemas), promote_options="permissive")
    except (pa.ArrowInvalid, pa.ArrowTypeError) as error:
        raise DataError(f"the inputs' columns do not fit one Parquet file ({error}); write JSON lines instead") \
            from None
