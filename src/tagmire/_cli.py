"""The command line: `tagmire parse INPUT... -o OUTPUT`.

Inputs are `.txt` files (one answer each), `.jsonl` files (`--field`),
`.parquet` files (`--column`) or `-`, JSON lines on standard input. They
are read a batch at a time, parsed by ParseColumn/parse_batch, and written
to Parquet or JSONL (by the output's suffix), or as JSONL to standard
output. Every other column or field of the input is kept beside the parse
columns. A user's mistake ends the run with one line on standard error and
exit status 1; a partly written output file is never left behind.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import sys
import tempfile
import time
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import IO, Any

from tagmire._batch import OUTPUT_COLUMNS, ParseColumn, _pyarrow, parse_batch
from tagmire._config import Config, ConfigError

DEFAULT_BATCH_ROWS = 8192
INPUT_KINDS = (".txt", ".jsonl", ".parquet")


class CliError(Exception):
    """A user's mistake, reported as one line."""


@dataclass
class Batch:
    """Parsed rows and what is kept of their input: a table of the other
    columns, or (JSONL) the other fields of each line as they were."""

    parsed: Any  # pyarrow.Table: text, segments, markers
    kept: Any  # pyarrow.Table, or a list of dicts
    text_bytes: int


@dataclass
class Options:
    field: str
    column: str
    config: Config
    threads: int | None
    batch_rows: int


# --- reading ------------------------------------------------------------------

def _kind(name: str) -> str:
    if name == "-":
        return "-"
    suffix = Path(name).suffix.lower()
    if suffix not in INPUT_KINDS:
        raise CliError(f"{name}: cannot read {suffix or 'a file without suffix'} (expected .txt, .jsonl or .parquet)")
    return suffix


def _json_type(value: object) -> str:
    return {bool: "a boolean", int: "a number", float: "a number", list: "an array", dict: "an object"}.get(
        type(value), type(value).__name__)


def read_jsonl(stream: IO[bytes], label: str, options: Options) -> Iterator[Batch]:
    """Batches of `options.batch_rows` lines; the field `options.field`
    parsed, every other field kept as written."""
    texts: list[str | None] = []
    kept: list[dict[str, Any]] = []
    size = 0
    for number, line in enumerate(stream, start=1):
        if not line.strip():
            continue
        try:
            record = json.loads(line)
        except (json.JSONDecodeError, UnicodeDecodeError) as error:
            raise CliError(f"{label}:{number}: not valid JSON: {error}") from None
        if not isinstance(record, dict):
            raise CliError(f"{label}:{number}: expected a JSON object, got {_json_type(record)}")
        if options.field not in record:
            raise CliError(f"{label}:{number}: no field {options.field!r}")
        text = record.pop(options.field)
        if text is not None and not isinstance(text, str):
            raise CliError(f"{label}:{number}: field {options.field!r} is {_json_type(text)}, not a string")
        for name in OUTPUT_COLUMNS:
            if name in record:
                raise CliError(f"{label}:{number}: field {name!r} would be replaced by the parser's {name!r}")
        texts.append(text)
        kept.append(record)
        size += len(line)
        if len(texts) >= options.batch_rows:
            yield Batch(parse_batch(texts, options.config, threads=options.threads), kept, size)
            texts, kept, size = [], [], 0
    if texts:
        yield Batch(parse_batch(texts, options.config, threads=options.threads), kept, size)


def read_parquet(path: Path, options: Options) -> Iterator[Batch]:
    """Batches of `options.batch_rows` rows, streamed one record batch at
    a time: memory holds a few batches, never the file."""
    pa = _pyarrow()
    import pyarrow.compute as pc  # type: ignore[import-untyped, unused-ignore]
    import pyarrow.parquet as pq  # type: ignore[import-untyped, unused-ignore]

    try:
        file = pq.ParquetFile(path, pre_buffer=False, buffer_size=1 << 20)
    except pa.ArrowException as error:
        raise CliError(f"{path}: not a readable Parquet file: {error}") from None
    with file:
        schema = file.schema_arrow
        if options.column not in schema.names:
            raise CliError(f"{path}: no column {options.column!r} (columns: {', '.join(schema.names)})")
        column_type = schema.field(options.column).type
        if not (pa.types.is_string(column_type) or pa.types.is_large_string(column_type)
                or pa.types.is_string_view(column_type)):
            raise CliError(f"{path}: column {options.column!r} holds {column_type}, not strings")
        for name in OUTPUT_COLUMNS:
            if name != options.column and name in schema.names:
                raise CliError(f"{path}: column {name!r} would be replaced by the parser's {name!r}")
        parse = ParseColumn(options.column, options.config, options.threads)
        for record_batch in file.iter_batches(batch_size=options.batch_rows):
            table = pa.Table.from_batches([record_batch])
            size = pc.sum(pc.binary_length(table.column(options.column))).as_py() or 0
            parsed = parse(table)
            yield Batch(parsed.select(list(OUTPUT_COLUMNS)), parsed.drop_columns(list(OUTPUT_COLUMNS)), size)


def read_texts(paths: Sequence[Path], options: Options) -> Iterator[Batch]:
    """Each file one answer, kept beside its path."""
    for first in range(0, len(paths), options.batch_rows):
        group = paths[first:first + options.batch_rows]
        texts = []
        for path in group:
            try:
                texts.append(path.read_bytes().decode("utf-8"))
            except UnicodeDecodeError as error:
                raise CliError(f"{path}: not UTF-8 text ({error.reason} at byte {error.start})") from None
        yield Batch(parse_batch(texts, options.config, threads=options.threads), [{"path": str(p)} for p in group],
                    sum(len(t) for t in texts))


def read_inputs(inputs: Sequence[str], options: Options, stdin: IO[bytes]) -> Iterator[Batch]:
    """Every batch of every input, in order; runs of .txt files are batched
    together."""
    txt_run: list[Path] = []
    for name in [*inputs, None]:
        kind = _kind(name) if name is not None else None
        if kind != ".txt" and txt_run:
            yield from read_texts(txt_run, options)
            txt_run = []
        if name is None:
            return
        if kind == "-":
            yield from read_jsonl(stdin, "<stdin>", options)
        elif kind == ".txt":
            txt_run.append(Path(name))
        elif kind == ".jsonl":
            with open(name, "rb") as stream:
                yield from read_jsonl(stream, name, options)
        else:
            yield from read_parquet(Path(name), options)


def read_with_ray(inputs: Sequence[str], options: Options, address: str) -> Iterator[Batch]:
    """The same batches, parsed by Ray Data's workers with ParseColumn."""
    try:
        import ray  # type: ignore[import-not-found, import-untyped, unused-ignore]
        import ray.data  # type: ignore[import-not-found, import-untyped, unused-ignore]
    except ImportError:
        raise CliError('--ray needs Ray: pip install "tagmire[ray]"') from None
    kinds = {_kind(name) for name in inputs}
    if not kinds <= {".parquet", ".jsonl"} or len(kinds) != 1:
        raise CliError("--ray reads .parquet files or .jsonl files, one kind per run")
    if not ray.is_initialized():
        ray.init(address=address or None, include_dashboard=False, log_to_driver=False)
    ray.data.DataContext.get_current().execution_options.preserve_order = True
    if kinds == {".parquet"}:
        dataset, column = ray.data.read_parquet(list(inputs)), options.column
    else:
        dataset, column = ray.data.read_json(list(inputs), lines=True), options.field
    if column not in dataset.schema().names:
        raise CliError(f"no column {column!r} (columns: {', '.join(dataset.schema().names)})")
    # Each Ray task holds one CPU, so each parses on one thread.
    parsed = dataset.map_batches(ParseColumn(column, options.config, threads=options.threads or 1),
                                 batch_format="pyarrow", batch_size=options.batch_rows)
    table: Any
    for table in parsed.iter_batches(batch_format="pyarrow", batch_size=None):
        yield Batch(table.select(list(OUTPUT_COLUMNS)), table.drop_columns(list(OUTPUT_COLUMNS)), 0)


# --- writing ------------------------------------------------------------------

def _json_rows(batch: Batch) -> Iterator[dict[str, Any]]:
    kept = batch.kept if isinstance(batch.kept, list) else batch.kept.to_pylist()
    for fields, parsed in zip(kept, batch.parsed.to_pylist()):
        yield {**fields, **parsed}


def write_jsonl(batches: Iterator[Batch], out: IO[str], progress: Any) -> None:
    for batch in batches:
        for row in _json_rows(batch):
            out.write(json.dumps(row, ensure_ascii=False, default=str))
            out.write("\n")
        progress(batch)


class ParquetSink:
    """Writes batches to one Parquet file, holding every batch to the first
    one's schema."""

    def __init__(self, path: str) -> None:
        self.path = path
        self.writer: Any = None
        self.kept_schema: Any = None

    def _kept_table(self, pa: Any, batch: Batch) -> Any:
        if not isinstance(batch.kept, list):
            return batch.kept
        # Every field of every line, in order of first appearance: pyarrow's
        # from_pylist would look at the first line only.
        names = list(dict.fromkeys(key for record in batch.kept for key in record))
        if self.kept_schema is not None:
            extra = next((name for name in names if name not in self.kept_schema.names), None)
            if extra is not None:
                raise CliError(f"field {extra!r} is missing from the first rows, which set the Parquet output's "
                               "columns; write JSONL output instead")
            names = self.kept_schema.names
        columns = {name: [record.get(name) for record in batch.kept] for name in names}
        try:
            table = pa.Table.from_pydict(columns, schema=self.kept_schema)
        except (pa.ArrowException, TypeError, ValueError) as error:
            raise CliError(f"a field's values do not fit one Parquet column ({error}); "
                           "write JSONL output instead") from None
        if not names:  # no other fields: a table of no columns, but of the batch's rows
            table = pa.table({"_": pa.nulls(batch.parsed.num_rows)}).drop_columns(["_"])
        return table

    def write(self, batch: Batch) -> None:
        pa = _pyarrow()
        import pyarrow.parquet as pq  # type: ignore[import-untyped, unused-ignore]

        kept = self._kept_table(pa, batch)
        table = kept
        for name in OUTPUT_COLUMNS:
            table = table.append_column(batch.parsed.schema.field(name), batch.parsed.column(name))
        if self.writer is None:
            self.kept_schema = kept.schema
            self.writer = pq.ParquetWriter(self.path, table.schema)
        elif table.schema != self.writer.schema:
            try:
                table = table.cast(self.writer.schema)
            except (pa.ArrowException, ValueError) as error:
                raise CliError(f"an input's columns differ from the first input's ({error})") from None
        self.writer.write_table(table)

    def close(self) -> None:
        if self.writer is not None:
            self.writer.close()
        else:  # no rows at all: still a valid file, of the parse columns only
            import pyarrow.parquet as pq  # type: ignore[import-untyped, unused-ignore]

            from tagmire._batch import output_schema
            pq.write_table(output_schema().empty_table(), self.path)


@contextlib.contextmanager
def replaced_atomically(target: Path) -> Iterator[str]:
    """A temporary file beside `target` that becomes `target` only when the
    block succeeds; on any failure it is removed."""
    folder = target.parent
    if not folder.is_dir():
        raise CliError(f"{target}: no such folder {str(folder)!r}")
    handle, temporary = tempfile.mkstemp(dir=folder, prefix=f".{target.name}.", suffix=".partial")
    os.close(handle)
    try:
        yield temporary
        os.replace(temporary, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise


def write_output(batches: Iterator[Batch], output: str, progress: Any, stdout: IO[str]) -> None:
    if output == "-":
        write_jsonl(batches, stdout, progress)
        stdout.flush()
        return
    target = Path(output)
    suffix = target.suffix.lower()
    if suffix not in (".parquet", ".jsonl"):
        raise CliError(f"{output}: cannot write {suffix or 'a file without suffix'} (expected .parquet or .jsonl)")
    with replaced_atomically(target) as temporary:
        if suffix == ".jsonl":
            with open(temporary, "w", encoding="utf-8") as out:
                write_jsonl(batches, out, progress)
        else:
            sink = ParquetSink(temporary)
            try:
                for batch in batches:
                    sink.write(batch)
                    progress(batch)
            finally:
                sink.close()


# --- progress -----------------------------------------------------------------

def _total_rows(inputs: Sequence[str]) -> int | None:
    """Rows in all inputs when known without reading them (no JSONL)."""
    total = 0
    for name in inputs:
        kind = _kind(name)
        if kind == ".txt":
            total += 1
        elif kind == ".parquet":
            import pyarrow.parquet as pq  # type: ignore[import-untyped, unused-ignore]
            total += pq.ParquetFile(name).metadata.num_rows
        else:
            return None
    return total


@contextlib.contextmanager
def progress_bar(enabled: bool, inputs: Sequence[str]) -> Iterator[Any]:
    """A callable that counts one batch; on a terminal it draws rows and
    MB/s with tqdm, elsewhere it does nothing."""
    try:
        from tqdm import tqdm  # type: ignore[import-untyped, unused-ignore]
    except ImportError:
        enabled = False
    if not enabled:
        yield lambda batch: None
        return
    bar = tqdm(total=_total_rows(inputs), unit=" rows", unit_scale=True, file=sys.stderr, dynamic_ncols=True)
    started, text_bytes = time.perf_counter(), 0

    def count(batch: Batch) -> None:
        nonlocal text_bytes
        text_bytes += batch.text_bytes
        elapsed = max(time.perf_counter() - started, 1e-9)
        bar.set_postfix_str(f"{text_bytes / elapsed / 1e6:.1f} MB/s", refresh=False)
        bar.update(batch.parsed.num_rows)

    try:
        yield count
    finally:
        bar.close()


# --- the command --------------------------------------------------------------

def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a positive whole number, got {text!r}")
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="tagmire", description="Parse Tagmire text in bulk.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    parse = commands.add_parser(
        "parse", help="parse answers into text, segments and markers",
        description="Parse answers from .txt files (one answer each), .jsonl files, .parquet files or standard "
                    "input (-, JSON lines) into Parquet or JSONL. Every other field or column is kept.")
    # "*", checked in main: `--ray a.parquet` hands the file to --ray first.
    parse.add_argument("inputs", nargs="*", metavar="INPUT", help=".txt, .jsonl or .parquet files, or - for stdin")
    parse.add_argument("-o", "--output", default="-",
                       help="a .parquet or .jsonl file, or - for JSONL on standard output (the default)")
    parse.add_argument("--field", default="text", help="the JSONL field holding the answer (default: text)")
    parse.add_argument("--column", default="text", help="the Parquet column holding the answer (default: text)")
    parse.add_argument("--config", type=Path, help="a .toml or .json parser configuration")
    parse.add_argument("--threads", type=_positive, help="parsing threads (default: the usable cores)")
    parse.add_argument("--batch-rows", type=_positive, default=DEFAULT_BATCH_ROWS,
                       help=f"rows read and parsed at a time (default: {DEFAULT_BATCH_ROWS})")
    parse.add_argument("--ray", nargs="?", const="", metavar="ADDRESS",
                       help="parse on a Ray cluster (a local one without ADDRESS)")
    parse.set_defaults(usage_error=parse.error)
    return parser


def run(args: argparse.Namespace, stdin: IO[bytes], stdout: IO[str]) -> None:
    config = Config.from_file(args.config) if args.config is not None else Config.default()
    options = Options(args.field, args.column, config, args.threads, args.batch_rows)
    for name in args.inputs:
        _kind(name)
        if name != "-" and not Path(name).is_file():
            raise CliError(f"{name}: no such file")
    if args.inputs.count("-") > 1:
        raise CliError("standard input (-) can be read only once")
    _pyarrow()
    if args.ray is not None:
        batches = read_with_ray(args.inputs, options, args.ray)
    else:
        batches = read_inputs(args.inputs, options, stdin)
    with progress_bar(sys.stderr.isatty(), args.inputs) as progress:
        write_output(batches, args.output, progress, stdout)


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    # `--ray` takes an optional address, so in `--ray answers.parquet` it takes
    # the input instead; no cluster address ends like an input file.
    if args.ray and (args.ray == "-" or Path(args.ray).suffix.lower() in INPUT_KINDS):
        args.inputs.insert(0, args.ray)
        args.ray = ""
    if not args.inputs:
        args.usage_error("the following arguments are required: INPUT")
    try:
        run(args, sys.stdin.buffer, sys.stdout)
    except (CliError, ConfigError) as error:
        print(f"tagmire: error: {error}", file=sys.stderr)
        return 1
    except ImportError as error:
        print(f"tagmire: error: {error}", file=sys.stderr)
        return 1
    except OSError as error:
        where = f"{error.filename}: " if error.filename else ""
        print(f"tagmire: error: {where}{error.strerror or error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
    except Exception as error:
        # A damaged Parquet file surfaces as pyarrow's own error, deep in a read.
        arrow = sys.modules.get("pyarrow")
        if arrow is None or not isinstance(error, arrow.ArrowException):
            raise
        print(f"tagmire: error: {error}", file=sys.stderr)
        return 1
    return 0
