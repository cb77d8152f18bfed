"""The command line's inputs, read by pyarrow's own readers into tables of
at most `batch_rows` rows, so that memory holds a few batches and never a
file: JSON lines (`.jsonl`, `.ndjson`, either compressed as `.gz`, `.bz2`
or `.zst`, or standard input), Parquet files and datasets, folders of any
of these, and `.txt` files (one answer each, beside their path). Every
batch can name the file and line (or row) of each of its rows, for errors.
"""

from __future__ import annotations

import json
import os
import re
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Protocol

from tagmire._batch import _pyarrow
from tagmire._terminal import printable

# pyarrow ships no type information, so its objects are typed Any here.

JSONL_SUFFIXES = (".jsonl", ".ndjson")
COMPRESSIONS = {".gz": "gzip", ".bz2": "bz2", ".zst": "zstd"}
# A JSONL input is read this much at a time and cut at its last newline.
READ_BYTES = 8 << 20
# The deepest nesting of objects and arrays a JSON line may have: pyarrow's
# reader recurses once a level, and overflows its stack some ten thousand
# levels down; no real record comes near this.
MAX_DEPTH = 100


class ByteSource(Protocol):
    """Standard input, or what stands for it."""

    def read(self, size: int = -1, /) -> bytes: ...


class UsageError(Exception):
    """A command line that cannot run as given (exit status 2)."""


class DataError(Exception):
    """An input that cannot be read as asked (exit status 1)."""


@dataclass
class Batch:
    """Rows of one input, as pyarrow read them."""

    table: Any  # pyarrow.Table
    place: Callable[[int], str]  # "answers.jsonl:17" for the batch's row 17's line
    label: str  # the input's name
    kind: str  # "jsonl", "parquet" or "txt"
    first: bool  # the first batch of its input
    read_bytes: int  # input bytes consumed so far, where they are counted


def describe(path: str) -> str:
    """What kind of input a path names: "jsonl", "parquet", "txt" or
    "folder"; a UsageError for anything else."""
    if path == "-":
        return "jsonl"
    try:
        path.encode("utf-8")
    except UnicodeEncodeError:
        raise UsageError(f"{printable(path)}: the name is not UTF-8, which pyarrow's readers cannot open; "
                         "rename it") from None
    if os.path.isdir(path):
        return "folder"
    if not os.path.exists(path):
        raise UsageError(f"{path}: no such file or folder")
    kind = _kind_of_name(path)
    if kind is None:
        raise UsageError(f"{path}: cannot read {_suffixes(path) or 'a file without suffix'} "
                         "(expected .jsonl, .ndjson, .parquet or .txt, or a folder of them; "
                         "JSON lines may be compressed as .gz, .bz2 or .zst)")
    return kind


def _suffixes(path: str) -> str:
    return "".join(Path(path).suffixes[-2:]).lower()


def _kind_of_name(path: str) -> str | None:
    name = path.lower()
    for compression in ("", *COMPRESSIONS):
        if name.endswith(tuple(suffix + compression for suffix in JSONL_SUFFIXES)):
            return "jsonl"
    if name.endswith(".parquet"):
        return "parquet"
    if name.endswith(".txt"):
        return "txt"
    return None


def folder_files(folder: str) -> tuple[str, list[str]]:
    """The kind of a folder's files and the files, in order, as pyarrow's
    dataset discovery lists them (hidden files and those starting with
    `_`, such as Spark's `_SUCCESS`, are left out). A folder that mixes
    kinds is refused rather than half read."""
    import pyarrow.dataset as ds  # type: ignore[import-untyped, unused-ignore]

    # An empty schema: listing the files, not reading the first one.
    files = sorted(ds.dataset(folder, format="parquet", schema=_pyarrow().schema([])).files)
    kinds: dict[str, str] = {}
    for file in files:
        kind = _kind_of_name(file)
        if kind is None:
            raise UsageError(f"{folder}: cannot read {file} (a folder holds .jsonl, .ndjson, .parquet "
                             "or .txt files of one kind)")
        kinds.setdefault(kind, file)
    if not kinds:
        raise UsageError(f"{folder}: holds no files to read")
    if len(kinds) > 1:
        first, second = list(kinds.values())[:2]
        raise UsageError(f"{folder}: holds files of more than one kind ({first}, {second}); "
                         "give one kind per folder")
    return next(iter(kinds)), files


# --- JSON lines ---------------------------------------------------------------

def _line_blocks(stream: Any, batch_rows: int) -> Iterator[tuple[int, bytes]]:
    """(first line number, bytes) of consecutive blocks of whole lines, each
    of at most `batch_rows` lines."""
    # A line longer than a read is gathered in a bytearray, which grows in
    # place: joining bytes read by read copied the line again for each read.
    carry = bytearray()
    line = 1
    while True:
        chunk = stream.read(READ_BYTES)
        if chunk and b"\n" not in chunk:
            carry += chunk
            continue
        carry += chunk
        data = bytes(carry)
        carry = bytearray()
        end = data.rfind(b"\n") + 1 if chunk else len(data)
        start = 0
        while start < end:
            cut = end
            if data.count(b"\n", start, end) > batch_rows:
                cut = start
                for _ in range(batch_rows):
                    cut = data.index(b"\n", cut, end) + 1
            yield line, data[start:cut]
            line += data.count(b"\n", start, cut)
            start = cut
        carry += data[end:]
        del data
        if not chunk:
            return


def _row_line(block: bytes, first_line: int, row: int) -> int:
    """The line of the block's `row`-th row: pyarrow's rows skip blank lines."""
    for number, text in enumerate(block.split(b"\n"), start=first_line):
        if text.strip():
            if row == 0:
                return number
            row -= 1
    return first_line


# JSON escapes, left to right, so that an escaped backslash is never taken
# for the start of the escape after it: a surrogate pair, a lone surrogate,
# or any other escape.
_ESCAPES = re.compile(
    rb"\\(?:u[dD][89abAB][0-9a-fA-F]{2}\\u[dD][c-fC-F][0-9a-fA-F]{2}|u([dD][89a-fA-F][0-9a-fA-F]{2})|.)", re.DOTALL)


def _lone_surrogates(block: bytes, errors: str) -> bytes:
    """The block with each escaped lone surrogate (`"\\ud800"`, valid JSON
    but no Unicode text), which pyarrow refuses, read by the `errors`
    policy: as U+FFFD for "replace", and for "null" as the bytes it would
    have in UTF-8, which pyarrow takes and the parser then turns into a
    null row as it does any text that is not UTF-8."""
    def lone(match: re.Match[bytes]) -> bytes:
        code = match.group(1)
        if not code:
            return match.group(0)
        return b"\\ufffd" if errors == "replace" else chr(int(code, 16)).encode("utf-8", "surrogatepass")

    return _ESCAPES.sub(lone, block)


_ROW = re.compile(r" in row (\d+)$")
_CHANGED = re.compile(r"Column\((/?[^)]*)\) changed from (\w+) to (\w+)")
_JSON_KINDS = {"number": "a number", "string": "a string", "object": "an object", "array": "an array",
               "boolean": "a boolean", "null": "null"}


def _json_problem(message: str) -> str:
    message = _ROW.sub("", message.removeprefix("JSON parse error: "))
    changed = _CHANGED.search(message)
    if changed is None:
        return f"not valid JSON: {message}"
    path, before, now = changed.groups()
    before, now = _JSON_KINDS.get(before, before), _JSON_KINDS.get(now, now)
    if not path:
        return f"expected a JSON object, got {now}"
    name = path.lstrip("/").replace("/", ".")
    return f"field {name!r} is {now} here but {before} on the lines before; a field holds one JSON type"


def _without_timestamps(pa: Any, data_type: Any) -> Any:
    """`data_type` with every timestamp a string: pyarrow's reader takes
    strings that look like dates for timestamps, and a field's text must
    come out as it went in."""
    if pa.types.is_timestamp(data_type):
        return pa.string()
    if pa.types.is_struct(data_type):
        return pa.struct([field.with_type(_without_timestamps(pa, field.type)) for field in data_type])
    if pa.types.is_list(data_type):  # the reader's lists are never large
        item = data_type.value_field
        return pa.list_(item.with_type(_without_timestamps(pa, item.type)))
    return data_type


# A JSON string, or one bracket outside strings.
_BRACKETS = re.compile(rb'"[^"\\]*(?:\\.[^"\\]*)*"|[\[{]|[\]}]', re.DOTALL)


def _too_deep(block: bytes, place: Callable[[int], str]) -> None:
    """A DataError naming the first line nested deeper than MAX_DEPTH. A
    line with fewer openings than that cannot be, so only such lines are
    walked; most blocks are not walked at all."""
    if block.count(b"[") + block.count(b"{") <= MAX_DEPTH:
        return
    row = -1
    for line in block.split(b"\n"):
        if not line.strip():
            continue
        row += 1
        if line.count(b"[") + line.count(b"{") <= MAX_DEPTH:
            continue
        depth = 0
        for match in _BRACKETS.finditer(line):
            token = match.group()
            if token in (b"[", b"{"):
                depth += 1
                if depth > MAX_DEPTH:
                    raise DataError(f"{place(row)}: nested deeper than {MAX_DEPTH} levels of objects and arrays")
            elif token in (b"]", b"}"):
                depth -= 1


def _bad_key(block: bytes, place: Callable[[int], str]) -> DataError:
    """The error for a block with a field name that is not UTF-8, naming
    its line and the name."""
    row = -1
    for line in block.split(b"\n"):
        if not line.strip():
            continue
        row += 1
        try:
            line.decode("utf-8")
        except UnicodeDecodeError:
            names: list[str] = []

            def named(pairs: list[tuple[str, Any]], names: list[str] = names) -> dict[str, Any]:
                names.extend(name for name, _ in pairs)
                return {}

            json.loads(line.decode("utf-8", "surrogateescape"), object_pairs_hook=named)
            for name in names:
                try:
                    name.encode("utf-8")
                except UnicodeEncodeError:
                    shown = name.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")
                    return DataError(f"{place(row)}: the field name '{printable(shown)}' is not Unicode text "
                                     "(invalid UTF-8 or a lone surrogate)")
    return DataError(f"{place(0)}: a field name is not Unicode text")


def _read_names(fields: Any) -> None:
    """Reads every field name, nested ones too: pyarrow decodes each as
    UTF-8 when it is read."""
    for field in fields:
        field.name  # noqa: B018
        data_type = field.type
        while hasattr(data_type, "value_type") and not hasattr(data_type, "index_type"):
            data_type = data_type.value_type
        if _pyarrow().types.is_struct(data_type):
            _read_names(data_type)


def read_json_block(block: bytes, place: Callable[[int], str], errors: str) -> Any:
    """One block of JSON lines as a table, by pyarrow's JSON reader."""
    pa = _pyarrow()
    import pyarrow.json as pj  # type: ignore[import-untyped, unused-ignore]

    _too_deep(block, place)

    # One reader block for the whole batch, so that a row number in its
    # errors counts from the batch's first line.
    from tagmire import _json_numbers

    read_options = pj.ReadOptions(use_threads=False, block_size=len(block) + 1)
    parse_options = None
    numbers_marked = False
    for attempt in range(5):
        try:
            table = pj.read_json(pa.py_buffer(block), read_options=read_options, parse_options=parse_options)
        except pa.ArrowInvalid as error:
            message = str(error)
            row = _ROW.search(message)
            if "surrogate pair in string is invalid" in message:
                if errors != "strict" and attempt == 0:
                    block = _lone_surrogates(block, errors)
                    continue
                raise DataError(f"{place(int(row.group(1)) if row else 0)}: a string holds a lone surrogate "
                                "escape (such as \\ud800), which is not Unicode text; --errors replace or "
                                "--errors null reads it") from None
            raise DataError(f"{place(int(row.group(1)) if row else 0)}: {_json_problem(message)}") from None
        try:
            _read_names(table.schema)
        except UnicodeDecodeError:
            raise _bad_key(block, place) from None
        schema = pa.schema([field.with_type(_without_timestamps(pa, field.type)) for field in table.schema])
        if not schema.equals(table.schema):
            parse_options = pj.ParseOptions(explicit_schema=schema)
        elif numbers_marked:
            return _json_numbers.typed(table, place)
        elif _json_numbers.may_round(block, table):
            block, parse_options, numbers_marked = _json_numbers.marked(block), None, True
        else:
            return table
    raise AssertionError("unreachable")


def jsonl_batches(path: str, stdin: ByteSource, batch_rows: int, errors: str) -> Iterator[Batch]:
    pa = _pyarrow()
    label = "<stdin>" if path == "-" else path
    raw: Any
    stream: Any
    if path == "-":
        raw = stream = stdin
    else:
        raw = stream = pa.OSFile(path, "r")
        compression = COMPRESSIONS.get(Path(path).suffix.lower())
        if compression is not None:
            stream = pa.CompressedInputStream(raw, compression)
    try:
        first = True
        blocks = _line_blocks(stream, batch_rows)
        while True:
            try:
                line, block = next(blocks)
            except StopIteration:
                return
            except (pa.ArrowInvalid, pa.ArrowIOError) as error:
                raise DataError(f"{label}: cannot decompress: {error}") from None

            def place(row: int, block: bytes = block, line: int = line) -> str:
                return f"{label}:{_row_line(block, line, row)}"

            table = read_json_block(block, place, errors)
            if table.num_rows:
                yield Batch(table, place, label, "jsonl", first, raw.tell() if path != "-" else 0)
                first = False
    finally:
        if path != "-":
            stream.close()
            raw.close()


# --- Parquet ----------------------------------------------------------------------

def parquet_dataset(path: str) -> Any:
    """A Parquet file or folder as a dataset whose schema unites every
    file's (a column only some files have is null in the others), so that
    no file's columns are dropped. A folder's `key=value` subfolders are
    columns too."""
    pa = _pyarrow()
    import pyarrow.dataset as ds  # type: ignore[import-untyped, unused-ignore]

    partitioning = "hive" if os.path.isdir(path) else None
    try:
        dataset = ds.dataset(path, format="parquet", partitioning=partitioning)
        schemas = [fragment.physical_schema for fragment in dataset.get_fragments()]
        schema = pa.unify_schemas([*schemas, dataset.schema], promote_options="permissive")
    except pa.ArrowInvalid as error:
        raise DataError(f"{path}: not a readable Parquet file or dataset ({error})") from None
    except pa.ArrowTypeError as error:
        raise DataError(f"{path}: its files' columns do not agree ({error})") from None
    return ds.dataset(path, format="parquet", partitioning=partitioning, schema=schema)


def parquet_batches(path: str, batch_rows: int) -> Iterator[Batch]:
    import pyarrow.dataset as ds  # type: ignore[import-untyped, unused-ignore]
    import pyarrow.parquet as pq  # type: ignore[import-untyped, unused-ignore]

    pa = _pyarrow()
    dataset = parquet_dataset(path)
    first = True
    try:
        for fragment in dataset.get_fragments():
            # One file at a time, a batch at a time, as it is asked for: the
            # dataset scanner read ahead as far as a slow consumer let it
            # (180 MB of a 400 MB file while each batch was parsed and
            # written) and its pre-buffering kept whatever it had read of a
            # file until the file was done (apache/arrow#39808).
            keys = ds.get_partition_keys(fragment.partition_expression)
            reader = pq.ParquetFile(fragment.open(), pre_buffer=False, buffer_size=1 << 20)
            offset = 0
            for batch in reader.iter_batches(batch_size=batch_rows, use_threads=False):
                if not batch.num_rows:
                    continue

                def place(row: int, file: str = fragment.path, offset: int = offset) -> str:
                    return f"{file}, row {offset + row}"

                yield Batch(_in_schema(pa, batch, dataset.schema, keys), place, path, "parquet", first, 0)
                first = False
                offset += batch.num_rows
    except pa.ArrowInvalid as error:
        raise DataError(f"{path}: not a readable Parquet file ({error})") from None


def _in_schema(pa: Any, batch: Any, schema: Any, keys: dict[str, Any]) -> Any:
    """A file's batch as a table of the dataset's schema: its columns in the
    dataset's types, a partition's `key=value` as a column, and null for a
    column that only other files have."""
    columns = []
    for field in schema:
        index = batch.schema.get_field_index(field.name)
        if index >= 0:
            column = batch.column(index)
            columns.append(column if column.type == field.type else column.cast(field.type))
        elif keys.get(field.name) is not None:
            columns.append(pa.array([keys[field.name]] * batch.num_rows, field.type))
        else:
            columns.append(pa.nulls(batch.num_rows, field.type))
    return pa.Table.from_arrays(columns, schema=schema)


def parquet_rows(path: str) -> int:
    return int(parquet_dataset(path).count_rows())


# --- text files -----------------------------------------------------------------

def text_batches(paths: Sequence[str], column: str, batch_rows: int) -> Iterator[Batch]:
    """Each file one answer, in a column named `column` beside `path`. The
    bytes go to the parser as they are: text that is not UTF-8 meets the
    parser's `errors` policy, as it does in any other input."""
    pa = _pyarrow()
    for start in range(0, len(paths), batch_rows):
        group = list(paths[start:start + batch_rows])
        contents = [Path(path).read_bytes() for path in group]
        answers = pa.array(contents, pa.large_binary()).view(pa.large_string())
        table = pa.table({"path": pa.array(group, pa.large_string()), column: answers})

        def place(row: int, group: list[str] = group) -> str:
            return group[row]

        yield Batch(table, place, group[0], "txt", start == 0, 0)
