"""The command line's outputs: JSON lines (plain or compressed as `.gz`,
`.bz2` or `.zst`) or Parquet, by the name's suffix or `--format`.

A regular file is written as coreutils write one: to a temporary file
beside it, which replaces it only when the whole run succeeded, with the
mode a plain `open` would have given it (or the mode of the file it
replaces); a symbolic link is written through, to its target. Standard
output, devices such as /dev/null and named pipes are written in place.
An output that is one of the inputs, or lies inside an input folder, is
refused before anything is written. Temporary files that a killed run
left behind are removed by the next run to the same output.
"""

from __future__ import annotations

import contextlib
import errno
import fcntl
import os
import re
import secrets
import stat
import time
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import IO, Any

from tagmire._batch import _pyarrow
from tagmire._inputs import COMPRESSIONS, DataError, UsageError

FORMATS = ("jsonl", "parquet")
PARQUET_COMPRESSIONS = ("zstd", "snappy", "gzip", "lz4", "brotli", "none")
JSON_COMPRESSIONS = ("gzip", "bz2", "zstd", "none")
# A temporary file left unlocked this long is a killed run's: a live run
# locks its own the moment it has made it.
STALE_SECONDS = 2.0


@dataclass
class Output:
    """Where and how a run writes."""

    name: str  # as given: "-" for standard output
    format: str  # "jsonl" or "parquet"
    compression: str  # one of the format's compressions
    path: Path | None  # the file to replace, links followed; None when written in place

    @property
    def in_place(self) -> bool:
        return self.path is None


def _suffix_format(name: str) -> tuple[str | None, str | None]:
    """(format, compression) that a name's suffixes say, if any."""
    lower = name.lower()
    for suffix, codec in [("", "none"), *COMPRESSIONS.items()]:
        if lower.endswith((".jsonl" + suffix, ".ndjson" + suffix)):
            return "jsonl", codec
    if lower.endswith(".parquet"):
        return "parquet", None
    return None, None


def plan_output(output: str, inputs: Sequence[str], form: str | None = None,
                compression: str | None = None) -> Output:
    """How `output` is to be written; a UsageError for an output that
    would overwrite an input or land inside an input folder, whose format
    is unknown, or whose folder is missing."""
    named_format, named_compression = _suffix_format(output) if output != "-" else ("jsonl", "none")
    path: Path | None = None
    if output != "-":
        target = Path(output)
        if target.is_dir():
            raise UsageError(f"{output}: is a folder")
        resolved = Path(os.path.realpath(target))
        if not resolved.parent.is_dir():
            raise UsageError(f"{output}: no such folder {str(resolved.parent)!r}")
        if not resolved.exists() or resolved.is_file():
            path = resolved
        for name in inputs:
            if name == "-":
                continue
            if resolved.exists() and os.path.samefile(resolved, name):
                raise UsageError(f"{output}: is also an input ({name}); write the output elsewhere")
            if os.path.isdir(name) and resolved.is_relative_to(Path(name).resolve()):
                raise UsageError(f"{output}: lies inside the input folder {name}; write the output elsewhere")
    chosen = form or named_format
    if chosen is None:
        if path is not None:
            suffix = target.suffix.lower()
            hint = " (a .json file holds one document; JSON lines are .jsonl)" if suffix == ".json" else ""
            raise UsageError(f"{output}: cannot tell the format of {suffix or 'a file without suffix'}{hint}; "
                             "name it .parquet, .jsonl or .ndjson, or give --format parquet or --format jsonl")
        chosen = "jsonl"  # a device or a pipe reads as standard output does
    if named_format == chosen and chosen == "jsonl" and named_compression not in (None, "none"):
        if compression not in (None, named_compression):
            raise UsageError(f"{output}: its suffix says {named_compression}, not --compression {compression}")
        compression = named_compression
    allowed = PARQUET_COMPRESSIONS if chosen == "parquet" else JSON_COMPRESSIONS
    compression = compression or allowed[0 if chosen == "parquet" else -1]
    if compression not in allowed:
        raise UsageError(f"--compression {compression}: {'Parquet' if chosen == 'parquet' else 'JSON lines'} "
                         f"take {', '.join(allowed)}")
    return Output(output, chosen, compression, path)


# --- files -----------------------------------------------------------------------------

def _temporary_names(target: Path) -> re.Pattern[str]:
    return re.compile(rf"\.{re.escape(target.name)}\.[0-9a-f]{{8}}\.partial")


def clear_stale(target: Path) -> None:
    """Removes the temporary files of `target` that runs killed before they
    could remove them left: each live run holds a lock on its own."""
    names = _temporary_names(target)
    try:
        entries = list(os.scandir(target.parent))
    except OSError:
        return
    for entry in entries:
        if not names.fullmatch(entry.name):
            continue
        with contextlib.suppress(OSError):
            descriptor = os.open(entry.path, os.O_RDONLY | os.O_NOFOLLOW)
            try:
                fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
                if time.time() - os.fstat(descriptor).st_mtime >= STALE_SECONDS:
                    os.unlink(entry.path)
            finally:
                os.close(descriptor)


@contextlib.contextmanager
def replaced_atomically(target: Path, shown: str) -> Iterator[Path]:
    """A new file beside `target` that becomes `target` only when the block
    succeeds; on any failure or interruption it is removed. It is created
    as `open` would create it (0666 less the umask), or takes the mode of
    the file it replaces, and it is locked while the run lives, so that a
    later run can tell it from one that a killed run left. Errors name
    `shown`, the output as the user gave it, not the temporary file."""
    temporary = None
    lock = -1
    try:
        clear_stale(target)
        while temporary is None:
            # Named before it is made, so that an interruption between the
            # two still finds it to remove.
            temporary = target.with_name(f".{target.name}.{secrets.token_hex(4)}.partial")
            try:
                lock = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
            except FileExistsError:  # another's: never ours to remove
                temporary = None
            except OSError as error:
                temporary = None
                raise OSError(error.errno, error.strerror, shown) from None
        fcntl.flock(lock, fcntl.LOCK_EX)
        with contextlib.suppress(FileNotFoundError):
            os.chmod(temporary, stat.S_IMODE(os.stat(target).st_mode))
        with named_errors(shown):
            yield temporary
            os.replace(temporary, target)
    except BaseException:
        if temporary is not None:
            with contextlib.suppress(OSError):
                os.unlink(temporary)
        raise
    finally:
        if lock >= 0:
            os.close(lock)


@contextlib.contextmanager
def named_errors(shown: str) -> Iterator[None]:
    """Turns a failed write (a full disk, a quota, a file too large, a
    read-only file system) into an OSError that names the output: pyarrow
    names no file, and Python the temporary one. Other errors, those of
    reading an input among them, pass as they are."""
    try:
        yield
    except BrokenPipeError:
        raise
    except OSError as error:
        named = error.filename is not None and not str(error.filename).endswith(".partial")
        if named and error.filename != shown:  # another file's, such as an input's
            raise
        code = error.errno if error.errno in _WRITE_ERRORS else \
            next((number for number, text in _WRITE_ERRORS.items() if text in str(error)), None)
        if code is None:
            raise
        raise OSError(code, os.strerror(code), shown) from None


# The errors of writing, by the words pyarrow's messages hold for them.
_WRITE_ERRORS = {errno.ENOSPC: "No space left", errno.EDQUOT: "quota exceeded", errno.EFBIG: "File too large",
                 errno.EROFS: "Read-only file system", errno.EACCES: "Permission denied"}


@contextlib.contextmanager
def opened(output: Output, stdout: IO[bytes] | None) -> Iterator[Any]:
    """The binary file to write `output` to, replaced atomically or in place."""
    if output.name == "-":
        assert stdout is not None
        with named_errors("standard output"):
            yield stdout
        return
    if output.path is None:
        with named_errors(output.name), open(output.name, "wb") as file:
            yield file
        return
    with replaced_atomically(output.path, output.name) as temporary, open(temporary, "wb") as file:
        yield file


# --- JSON lines ---------------------------------------------------------------

@contextlib.contextmanager
def json_lines_stream(file: Any, compression: str) -> Iterator[Any]:
    """`file` itself, or a stream compressing into it."""
    if compression == "none":
        yield file
        return
    pa = _pyarrow()
    with pa.CompressedOutputStream(pa.PythonFile(_Unclosed(file), mode="w"), compression) as stream:
        yield stream


class _Unclosed:
    """A file that the compressing stream over it flushes but does not
    close: standard output outlives the run, and a file is closed by the
    block that opened it."""

    closed = False

    def __init__(self, file: Any) -> None:
        self.file = file

    def write(self, data: Any) -> int:
        return int(self.file.write(data))

    def flush(self) -> None:
        self.file.flush()

    def close(self) -> None:
        self.file.flush()


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
    SchemaGrew. Batches are gathered into row groups of `row_group_rows`
    (fewer where their memory reaches GROUP_BYTES): the batches a run
    parses at a time are too small for groups that compress well."""

    GROUP_BYTES = 128 << 20

    def __init__(self, file: Any, schema: Any = None, *, compression: str = "zstd",
                 row_group_rows: int = 131072) -> None:
        self.file = file
        self.schema = schema
        self.compression = compression
        self.row_group_rows = row_group_rows
        self.writer: Any = None
        self.pending: list[Any] = []
        self.pending_rows = self.pending_bytes = 0

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
                try:
                    column = column.cast(field.type)
                except pa.ArrowInvalid as error:
                    # An integer that a float column cannot hold exactly.
                    raise DataError(f"field {field.name!r}: {error}; a Parquet column holds one type, so write "
                                    "JSON lines instead") from None
            columns.append(column)
        return pa.Table.from_arrays(columns, schema=self.schema)

    def write(self, table: Any) -> None:
        if self.schema is None:
            self.schema = table.schema
        table = self._fitted(table)
        self.pending.append(table)
        self.pending_rows += table.num_rows
        self.pending_bytes += table.nbytes
        if self.pending_rows >= self.row_group_rows or self.pending_bytes >= self.GROUP_BYTES:
            self._flush()

    def _flush(self) -> None:
        import pyarrow.parquet as pq  # type: ignore[import-untyped, unused-ignore]

        if not self.pending:
            return
        pa = _pyarrow()
        if self.writer is None:
            self.writer = pq.ParquetWriter(self.file, self.schema, compression=self.compression)
        self.writer.write_table(pa.concat_tables(self.pending), row_group_size=self.row_group_rows)
        self.pending, self.pending_rows, self.pending_bytes = [], 0, 0

    def close(self, empty_schema: Any) -> None:
        import pyarrow.parquet as pq  # type: ignore[import-untyped, unused-ignore]

        self._flush()
        if self.writer is not None:
            self.writer.close()
        else:  # no rows at all: still a valid file, of the columns known
            pq.write_table((self.schema or empty_schema).empty_table(), self.file, compression=self.compression)


def unite(schemas: Sequence[Any]) -> Any:
    """One schema for several, each type the widest of its column's."""
    pa = _pyarrow()
    try:
        return pa.unify_schemas(list(schemas), promote_options="permissive")
    except (pa.ArrowInvalid, pa.ArrowTypeError) as error:
        raise DataError(f"the inputs' columns do not fit one Parquet file ({error}); write JSON lines instead") \
            from None
