"""The command line: `tagmire parse INPUT... -o OUTPUT` and `tagmire show INPUT`.

Inputs are read a batch at a time by pyarrow (see _inputs), parsed by
ParseColumn, the function Ray Data runs too, and written to Parquet or JSON
lines (see _outputs). Exit statuses: 0 done, 1 an input that cannot be
read as asked (or memory ran out), 2 a command line that cannot run as
given, 128 + the signal's number when interrupted (130 for Ctrl-C, 143 for
SIGTERM, 129 for SIGHUP), and 141 when the reader of standard output has
gone (as for `cat`). Every error is one line on standard error.
"""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import io
import os
import select
import signal
import sys
import textwrap
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import IO, Any, NoReturn

from tagmire import __version__, _inputs, _outputs
from tagmire._batch import (ERRORS, MAX_OUTPUT_RATIO, OUTPUT_FORMS, ColumnClash, ParseColumn, _pyarrow, answer_column,
                            output_schema, parsed_names)
from tagmire._config import PRESETS, Config, ConfigError
from tagmire._inputs import Batch, DataError, UsageError
from tagmire._json_lines import write_json_lines
from tagmire._native import InvalidTextError, OutputTooLargeError
from tagmire._terminal import printable
from tagmire._text_fields import InvalidFieldError

DEFAULT_BATCH_ROWS = 8192
DEFAULT_ROW_GROUP_ROWS = 131072
# The largest count an option takes: pyarrow's readers take 32-bit counts.
MOST = 2**31 - 1
EXIT_DATA, EXIT_USAGE, EXIT_BROKEN_PIPE = 1, 2, 141

PARSE_EXAMPLES = """\
examples:
  tagmire parse answers.jsonl -o parsed.parquet
  tagmire parse answers.jsonl.gz --field response.content -o parsed.jsonl
  tagmire parse answers/ --preset cite --keep-raw raw -o parsed.parquet
  tagmire parse parsed.parquet --prefix reparsed_ -o again.parquet
  tagmire parse answers.parquet -o parsed.jsonl.gz
  cat answers.jsonl | tagmire parse - | head -1
  tagmire parse answers/ --ray -o parsed.parquet
"""

SHOW_EXAMPLES = """\
examples:
  tagmire show answers.jsonl --row 3
  tagmire show answers.parquet --field response.content --preset cite
"""


class Interrupted(BaseException):
    """SIGTERM or SIGHUP, raised where the program is so that every cleanup
    runs as it does for Ctrl-C."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


def _raise_interrupted(signum: int, frame: object) -> None:
    raise Interrupted(signum)


class WakingInput:
    """Standard input whose reads a signal ends, whichever thread the kernel
    hands the signal to. pyarrow starts threads that leave signals
    unblocked; a signal that lands on one runs no handler in the main
    thread while that thread waits in read(), so a run fed by a pipe that
    stays open would never stop. The signal's wake-up byte ends the wait
    instead, and the handler then runs."""

    def __init__(self, stream: io.BufferedReader, wake: int) -> None:
        self.stream = stream
        self.wake = wake

    def read(self, size: int = -1) -> bytes:
        """Up to `size` bytes (all, when negative), fewer only at the end."""
        parts: list[bytes] = []
        got = 0
        while size < 0 or got < size:
            self._wait()
            # One read of what is ready: select said it will not wait.
            part = self.stream.read1(size - got if size >= 0 else READ1_BYTES)
            if not part:
                break
            parts.append(part)
            got += len(part)
        return b"".join(parts)

    def _wait(self) -> None:
        source = self.stream.fileno()
        while True:
            readable, _, _ = select.select([source, self.wake], [], [])
            if source in readable:
                return
            with contextlib.suppress(BlockingIOError):
                os.read(self.wake, 64)
            # The loop's next turn runs the signal's handler, which raises.


# What one read of a pipe gives at most, when the size is not bounded.
READ1_BYTES = 1 << 20


@contextlib.contextmanager
def signals_interrupt(stdin: IO[bytes]) -> Iterator[_inputs.ByteSource]:
    """SIGTERM and SIGHUP raise Interrupted for the time of the block (in
    the main thread only, where Python can install handlers); yields the
    standard input to read, which these and Ctrl-C interrupt."""
    if sys.platform == "win32" or not _in_main_thread():
        yield stdin
        return
    wake_read, wake_write = os.pipe()
    for end in (wake_read, wake_write):
        os.set_blocking(end, False)
    previous_wake = signal.set_wakeup_fd(wake_write, warn_on_full_buffer=False)
    watched = [signal.SIGTERM, signal.SIGHUP]
    previous = {signum: signal.signal(signum, _raise_interrupted) for signum in watched}
    try:
        if isinstance(stdin, io.BufferedReader) and _has_descriptor(stdin):
            yield WakingInput(stdin, wake_read)
        else:
            yield stdin
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)
        signal.set_wakeup_fd(previous_wake)
        os.close(wake_read)
        os.close(wake_write)


def _has_descriptor(stream: IO[bytes]) -> bool:
    try:
        stream.fileno()
    except (OSError, ValueError):  # io.UnsupportedOperation is both
        return False
    return True


def _in_main_thread() -> bool:
    import threading

    return threading.current_thread() is threading.main_thread()


# --- configuration and the transform ----------------------------------------------

def _config(args: argparse.Namespace) -> Config:
    if args.config is not None:
        if not args.config.is_file():
            raise UsageError(f"{args.config}: no such configuration file")
        return Config.from_file(args.config)
    return Config.preset(args.preset or "default")


@dataclass
class Run:
    """What every batch of a run goes through."""

    transform: ParseColumn
    field: str
    # Answers that were not Unicode text and became null rows (--errors null).
    nulled: int = 0

    def parse(self, batch: Batch) -> Any:
        """The batch's table parsed, its errors named by input and line."""
        table = batch.table
        try:
            answer_column(table, self.field)
        except KeyError as error:
            # JSON lines name only the fields their lines have: a later batch
            # without the answer's field is a batch of missing answers.
            if batch.first or batch.kind != "jsonl":
                raise DataError(f"{batch.label}: {printable(error.args[0])}") from None
            table = table.append_column(self.field, _pyarrow().nulls(table.num_rows))
        try:
            parsed = self.transform(table)
        except ColumnClash as clash:
            raise clash_error(clash, self.transform, batch.label) from None
        except TypeError as error:
            column, _ = answer_column(table, self.field)
            raise DataError(f"{batch.place(_outputs.first_value_row(column))}: {error}") from None
        except InvalidTextError as error:
            # The parser's own message counts rows in the batch: the place
            # says where the row is in its input.
            raise DataError(f"{batch.place(error.row)}: {not_unicode(error, self.field)}") from None
        except ValueError as error:
            raise DataError(f"{batch.label}: {error}") from None
        if self.transform.errors == "null":
            answers, _ = answer_column(table, self.field)
            self.nulled += parsed.column(self.transform.prefix + "text").null_count - answers.null_count
        return parsed

    def empty_output(self, batch: Batch) -> Any:
        """The output columns of a batch, without parsing it."""
        return self.parse(Batch(batch.table.slice(0, 0), batch.place, batch.label, batch.kind, batch.first, 0)).schema


def not_unicode(error: InvalidTextError, answer: str) -> str:
    """What an InvalidTextError says, for the answer or a field beside it."""
    if isinstance(error, OutputTooLargeError):
        return (f"{printable(answer)!r} would take about {error.output_bytes} bytes parsed, past its bound of "
                f"{error.limit} (--max-output-ratio); --form spans keeps the output linear, --errors replace "
                "keeps its text alone, --errors null gives a null row")
    if isinstance(error, InvalidFieldError):
        what, why = f"field {printable(error.field)!r}", f"invalid UTF-8 at byte {error.position}"
    else:
        what, why = repr(printable(answer)), f"invalid UTF-8 or a lone surrogate at {error.unit} {error.position}"
    return f"{what} is not Unicode text ({why}); --errors replace or --errors null reads it"


def clash_error(clash: ColumnClash, transform: ParseColumn, label: str) -> Exception:
    """A ColumnClash in the command line's words."""
    name = printable(clash.name)
    if clash.kind == "keep_raw":
        return UsageError(f"--keep-raw {name}: the input has a column {name!r}; choose another name")
    if clash.kind == "parsed" and clash.name == transform.keep_raw:
        return UsageError(f"--keep-raw {name}: the parser writes a column of that name; choose another")
    if clash.kind == "parsed":
        return UsageError(f"the input has a column {name!r}, which the parsed column of that name would replace; "
                          "--prefix NAME renames the parsed columns (--prefix parsed_ writes parsed_text, "
                          "parsed_segments and parsed_markers)")
    return DataError(f"{label}: two columns are named {name!r}")


def _local_batches(args: argparse.Namespace, stdin: _inputs.ByteSource) -> Iterator[Batch]:
    """Every batch of every input, in order; runs of .txt files are read
    together."""
    texts: list[str] = []
    for name in [*args.inputs, None]:
        kind = _inputs.describe(name) if name is not None else None
        files = [name] if name is not None else []
        if kind == "folder":
            kind, files = _inputs.folder_files(name)
        if kind != "txt" and texts:
            yield from _inputs.text_batches(texts, args.field, args.batch_rows)
            texts = []
        if kind == "txt":
            if args.field == "path":
                raise UsageError("--field path: .txt inputs keep their file's name in a column 'path'; "
                                 "name the answer's column otherwise")
            texts.extend(files)
        elif kind == "jsonl":
            for file in files:
                yield from _inputs.jsonl_batches(file, stdin, args.batch_rows, args.errors)
        elif kind == "parquet":
            # A folder of Parquet files is one dataset.
            yield from _inputs.parquet_batches(name, args.batch_rows)


# --- Ray ----------------------------------------------------------------------------

def start_ray(address: str | None, *, verbose: bool = False, **options: Any) -> Any:
    """Ray, connected to the cluster at `address`, or to a new local
    instance of its own whose every process listens on loopback only.
    `options` go to ray.init."""
    if address is None:
        # Ray takes a loopback node address for the machine's outward one
        # unless told the instance is one machine's alone; its processes
        # inherit the setting.
        os.environ["RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER"] = "0"
    try:
        import ray  # type: ignore[import-not-found, import-untyped, unused-ignore]
        import ray.data  # type: ignore[import-not-found, import-untyped, unused-ignore]
    except ImportError:
        raise UsageError('--ray needs Ray: pip install "tagmire[ray]"') from None
    import logging

    # Ray reports its start, its plans and its progress on standard error,
    # where the run's own errors are one line.
    # Ray Data's logger keeps handlers and a level of its own.
    if not verbose:
        for name in ("ray", "ray.data"):
            logging.getLogger(name).setLevel(logging.CRITICAL)
    if not ray.is_initialized():
        options = {"include_dashboard": False, "log_to_driver": verbose, "configure_logging": verbose, **options}
        if address is None:
            ray.init(address="local", _node_ip_address="127.0.0.1", **options)
        else:
            ray.init(address=address, **options)
    return ray


# The column in which Ray's workers count the answers that --errors null
# made null rows; the driver sums it and drops it.
_NULLED = "__tagmire_nulled"


@dataclass(frozen=True)
class RayParse:
    """ParseColumn as Ray's workers run it for the command line: a failure
    is one line (Ray would otherwise show the worker's traceback, coloured),
    and answers made null are counted."""

    transform: ParseColumn

    def __call__(self, table: Any) -> Any:
        try:
            parsed = self.transform(table)
        except InvalidTextError as error:
            raise RayRowError(f"row {error.row} of a batch: {not_unicode(error, self.transform.column)}") from None
        if self.transform.errors == "null":
            answers, _ = answer_column(table, self.transform.column)
            text = parsed.column(self.transform.prefix + "text")
            import pyarrow.compute as pc  # type: ignore[import-untyped, unused-ignore]

            parsed = parsed.append_column(_NULLED, pc.and_(text.is_null(), answers.is_valid()))
        return parsed


class RayRowError(Exception):
    """A row that a Ray worker could not parse, said in one line."""


def _ray_schema(ray: Any, dataset: Any) -> Any:
    """The dataset's columns as an empty pyarrow table: Ray describes them
    in its own types, which differ between its releases, and where they are
    not pyarrow's, one row is read instead."""
    pa = _pyarrow()
    schema = dataset.schema()
    types = list(getattr(schema, "types", []))
    if types and all(isinstance(data_type, pa.DataType) for data_type in types):
        return pa.schema(list(zip(schema.names, types))).empty_table()
    return pa.concat_tables(ray.get(dataset.limit(1).to_arrow_refs())).slice(0, 0)


def _ray_tables(args: argparse.Namespace, run: Run) -> Iterator[Any]:
    kinds = set()
    for name in args.inputs:
        kind = _inputs.describe(name)
        kinds.add(_inputs.folder_files(name)[0] if kind == "folder" else kind)
    if "-" in args.inputs or not kinds <= {"parquet", "jsonl"} or len(kinds) != 1:
        raise UsageError("--ray reads Parquet or JSON lines files and folders, one kind per run")
    ray = start_ray(args.ray_address, verbose=args.verbose)
    # ray.init takes SIGTERM for itself; the run's cleanup needs it back.
    if _in_main_thread():
        signal.signal(signal.SIGTERM, _raise_interrupted)
    context = ray.data.DataContext.get_current()
    context.execution_options.preserve_order = True
    context.enable_progress_bars = False
    if kinds == {"parquet"}:
        dataset = ray.data.read_parquet(list(args.inputs))
    else:
        # pyarrow's JSON reader, as without Ray (lines=True would read by pandas).
        dataset = ray.data.read_json(list(args.inputs))
    # Each Ray task holds one CPU, so each parses on one thread.
    transform = RayParse(dataclasses.replace(run.transform, column=run.field, threads=args.threads or 1))
    # A missing or mistyped column is found here, on no rows, rather than
    # inside a worker.
    try:
        transform.transform(_ray_schema(ray, dataset))
    except ColumnClash as clash:
        raise clash_error(clash, transform.transform, ", ".join(args.inputs)) from None
    except (KeyError, TypeError, ValueError) as error:
        raise DataError(f"{', '.join(args.inputs)}: {error.args[0] if error.args else error}") from None
    parsed = dataset.map_batches(transform, batch_format="pyarrow", batch_size=args.batch_rows)
    try:
        for table in parsed.iter_batches(batch_format="pyarrow", batch_size=None):
            if _NULLED in table.column_names:
                run.nulled += sum(table.column(_NULLED).to_pylist())
                table = table.drop_columns([_NULLED])
            yield table
    except Exception as error:
        raise DataError(f"on Ray: {_ray_reason(error)}") from None


def _ray_reason(error: BaseException) -> str:
    """The first line of what went wrong inside Ray, without the colours
    and tracebacks of its workers."""
    import re

    cause: BaseException = error
    while cause.__cause__ is not None:
        cause = cause.__cause__
    text = str(cause) or type(cause).__name__
    found = re.search(r"RayRowError: (.*)", text)
    if found:
        text = found.group(1)
    text = re.sub(r"\x1b\[[0-9;]*[A-Za-z]", "", text)
    return printable(text.strip().splitlines()[0] if text.strip() else type(cause).__name__)


# --- progress -------------------------------------------------------------------------

class Progress:
    """A tqdm bar on standard error when it is a terminal: rows, or input
    bytes where only those are known ahead (JSON lines files), with a total
    and so an ETA whenever the size is known."""

    def __init__(self, args: argparse.Namespace) -> None:
        self.bar: Any = None
        self.by_bytes = False
        if args.quiet or not sys.stderr.isatty():
            return
        try:
            from tqdm import tqdm  # type: ignore[import-untyped, unused-ignore]
        except ImportError:
            return
        total, self.by_bytes = _size(args.inputs)
        if self.by_bytes:
            self.bar = tqdm(total=total, unit="B", unit_scale=True, unit_divisor=1024, file=sys.stderr,
                            dynamic_ncols=True)
        else:
            self.bar = tqdm(total=total, unit=" rows", unit_scale=True, file=sys.stderr, dynamic_ncols=True)
        self.label = ""  # the input being read
        self.before = 0  # bytes of the inputs before it

    def advance(self, batch: Batch | None, rows: int) -> None:
        if self.bar is None:
            return
        if not self.by_bytes:
            self.bar.update(rows)
        elif batch is not None:
            if batch.label != self.label:
                self.label, self.before = batch.label, self.bar.n
            self.bar.update(max(0, self.before + batch.read_bytes - self.bar.n))

    def restart(self) -> None:
        if self.bar is not None:
            self.bar.reset()
            self.label, self.before = "", 0

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


def _size(inputs: Sequence[str]) -> tuple[int | None, bool]:
    """(total, in bytes?) of the inputs, when known without reading them."""
    rows = 0
    files: list[tuple[str, str]] = []
    for name in inputs:
        kind = _inputs.describe(name)
        if kind == "folder":
            kind, listed = _inputs.folder_files(name)
            files += [(kind, file) for file in listed] if kind != "parquet" else [(kind, name)]
        else:
            files.append((kind, name))
    kinds = {kind for kind, _ in files}
    if "-" in inputs:
        return None, False
    if kinds == {"jsonl"}:
        return sum(os.path.getsize(file) for _, file in files), True
    if "jsonl" in kinds:
        return None, False
    for kind, file in files:
        rows += _inputs.parquet_rows(file) if kind == "parquet" else 1
    return rows, False


# --- parse ------------------------------------------------------------------------------

class _TextAsBytes:
    """A text stream (one without a binary buffer, as a test's capture)
    written to as bytes."""

    def __init__(self, stream: IO[str]) -> None:
        self.stream = stream

    def write(self, data: Any) -> int:
        return self.stream.write(bytes(data).decode("utf-8"))

    def flush(self) -> None:
        self.stream.flush()


def _write(args: argparse.Namespace, run: Run, stdin: _inputs.ByteSource, stdout: IO[str] | None, schema: Any,
           progress: Progress) -> None:
    """One pass over the inputs into the output."""
    tables: Iterator[tuple[Batch | None, Any]]
    if args.ray:
        tables = ((None, table) for table in _ray_tables(args, run))
    else:
        tables = ((batch, run.parse(batch)) for batch in _local_batches(args, stdin))
    output: _outputs.Output = args.planned
    binary_stdout: Any = None if stdout is None else getattr(stdout, "buffer", None) or _TextAsBytes(stdout)
    with _outputs.opened(output, binary_stdout) as file:
        if output.format == "jsonl":
            with _outputs.json_lines_stream(file, output.compression) as stream:
                for batch, table in tables:
                    write_json_lines(table, stream, args.prefix)
                    progress.advance(batch, table.num_rows)
            file.flush()
            return
        sink = _outputs.ParquetSink(file, schema, compression=output.compression,
                                    row_group_rows=args.row_group_rows)
        try:
            for batch, table in tables:
                try:
                    sink.write(table)
                except _outputs.SchemaGrew as grew:
                    grew.place = batch.place(grew.row) if batch is not None else "on Ray"
                    raise
                progress.advance(batch, table.num_rows)
        finally:
            sink.close(_renamed(output_schema(args.form), args.prefix))


def _renamed(schema: Any, prefix: str) -> Any:
    return _pyarrow().schema([field.with_name(prefix + field.name) for field in schema])


def _whole_schema(args: argparse.Namespace, run: Run) -> Any:
    """The output columns of every batch of the inputs, united: read once
    more, without parsing, when the Parquet output's columns must fit rows
    that come late."""
    pa = _pyarrow()
    schema = None
    for batch in _local_batches(args, sys.stdin.buffer):
        columns = run.empty_output(batch)
        if schema is None:
            schema = columns
            continue
        try:
            schema = _outputs.unite([schema, columns])
        except DataError:
            for field in columns:
                known = schema.field(field.name) if field.name in schema.names else field
                try:
                    _outputs.unite([pa.schema([known]), pa.schema([field])])
                except DataError:
                    row = _outputs.first_value_row(batch.table.column(field.name))
                    raise DataError(f"{batch.place(row)}: field {field.name!r} holds {field.type} here but "
                                    f"{known.type} on lines before; a Parquet column holds one type, "
                                    "so write JSON lines instead") from None
            raise
    assert schema is not None
    # The parse columns stay last, after every column of the input.
    parsed = parsed_names(args.prefix, args.form)
    return pa.schema([field for field in schema if field.name not in parsed] + [schema.field(name) for name in parsed])


def run_parse(args: argparse.Namespace, stdin: _inputs.ByteSource, stdout: IO[str]) -> None:
    config = _config(args)
    if args.inputs.count("-") > 1:
        raise UsageError("standard input (-) can be read only once")
    for name in args.inputs:
        _inputs.describe(name)
    args.planned = _outputs.plan_output(args.output, args.inputs, args.format, args.compression)
    if args.keep_raw is not None and args.keep_raw in parsed_names(args.prefix, args.form):
        raise UsageError(f"--keep-raw {printable(args.keep_raw)}: the parser writes a column of that name; "
                         "choose another")
    _pyarrow()
    run = Run(ParseColumn(args.field, config, args.threads, args.keep_raw, args.errors, args.prefix, args.form,
                          args.max_output_ratio), args.field)
    progress = Progress(args)
    try:
        try:
            _write(args, run, stdin, stdout, None, progress)
        except _outputs.SchemaGrew as grew:
            if "-" in args.inputs or args.ray:
                raise DataError(f"{grew.place}: {grew}; write JSON lines, or read a file rather than standard input") \
                    from None
            # The inputs are files, so the whole input's columns can be had
            # by reading them once more; then every batch fits.
            schema = _whole_schema(args, run)
            progress.restart()
            run.nulled = 0
            _write(args, run, stdin, stdout, schema, progress)
    finally:
        progress.close()
    if run.nulled:
        print(f"tagmire: {run.nulled} answer{'s' if run.nulled != 1 else ''} not Unicode text or past "
              f"--max-output-ratio became null row{'s' if run.nulled != 1 else ''} (--errors null)", file=sys.stderr)


# --- the command ----------------------------------------------------------------------------

def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if not 1 <= value <= MOST:
        raise argparse.ArgumentTypeError(f"expected a positive whole number up to {MOST}, got {printable(text)!r}")
    return value


def _ratio(text: str) -> int | None:
    if text == "none":
        return None
    return _positive(text)


def _add_reading_options(command: argparse.ArgumentParser) -> None:
    command.add_argument("--field", "--column", dest="field", default="text", metavar="NAME",
                         help="the field or column holding the answer; dots reach into nested fields, "
                              "as in response.content (default: text)")
    choice = command.add_mutually_exclusive_group()
    choice.add_argument("--preset", choices=PRESETS, metavar="NAME",
                        help=f"a parser preset: {', '.join(PRESETS)} (default: default)")
    choice.add_argument("--config", type=Path, metavar="FILE",
                        help="a .toml or .json parser configuration; it names its preset itself "
                             '(preset = "cite"), so it does not combine with --preset')
    command.add_argument("--errors", choices=ERRORS, default="strict",
                         help="an answer that is not Unicode text (invalid UTF-8, a lone surrogate): "
                              "strict stops with an error naming its line, replace reads each bad "
                              "sequence as U+FFFD, null gives a null row (default: strict)")
    command.add_argument("--max-output-ratio", type=_ratio, default=MAX_OUTPUT_RATIO, metavar="N",
                         help="an answer whose parsed columns would take more than N bytes per byte of it "
                              "(answers under 1 KB counted as 1 KB) is handled by --errors: strict stops, "
                              "replace keeps its text alone without annotations, null gives a null row; "
                              f"none for no bound (default: {MAX_OUTPUT_RATIO})")


class _Parser(argparse.ArgumentParser):
    """argparse, with its errors on one line like every other error."""

    def error(self, message: str) -> NoReturn:
        _report(f"{message} (see {self.prog} --help)")
        raise SystemExit(EXIT_USAGE)


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="tagmire", description="Parse Tagmire text: answers with lenient "
                                     "inline tags, in bulk.")
    parser.add_argument("--version", action="version", version=f"tagmire {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", title="commands")
    parse = commands.add_parser(
        "parse", help="parse answers into text, segments and markers",
        formatter_class=argparse.RawDescriptionHelpFormatter, epilog=PARSE_EXAMPLES,
        description=textwrap.fill(
            "Parse answers from JSON lines (.jsonl, .ndjson, also compressed as .gz, .bz2 or .zst), Parquet "
            "files, .txt files (one answer each), folders of any of these (a folder of Parquet files is read "
            "as one dataset), or standard input (-, JSON lines), into Parquet or JSON lines. Every other field "
            "or column is kept."))
    parse.add_argument("inputs", nargs="+", metavar="INPUT", help="a file, a folder, or - for standard input")
    parse.add_argument("-o", "--output", default="-", metavar="OUTPUT",
                       help="a .parquet, .jsonl or .ndjson file (JSON lines also as .jsonl.gz, .jsonl.bz2 or "
                            ".jsonl.zst), or - for JSON lines on standard output (the default); a symbolic link "
                            "is written through to its target")
    parse.add_argument("--format", choices=_outputs.FORMATS,
                       help="the output's format, for a name without a known suffix (such as /dev/stdout)")
    parse.add_argument("--compression", metavar="CODEC",
                       help=f"Parquet: {', '.join(_outputs.PARQUET_COMPRESSIONS)} (default: zstd); JSON lines: "
                            f"{', '.join(_outputs.JSON_COMPRESSIONS)} (default: by the suffix)")
    parse.add_argument("--row-group-rows", type=_positive, default=DEFAULT_ROW_GROUP_ROWS, metavar="N",
                       help=f"rows per Parquet row group (default: {DEFAULT_ROW_GROUP_ROWS}; fewer where a group "
                            "would hold more than 128 MB)")
    _add_reading_options(parse)
    parse.add_argument("--form", choices=OUTPUT_FORMS, default="segments",
                       help="segments: each segment with the annotations covering it; spans: each span once "
                            "with its annotation, output that grows with the input however tags nest "
                            "(default: segments)")
    parse.add_argument("--keep-raw", metavar="NAME",
                       help="also keep the answer as it was written, in a column of this name")
    parse.add_argument("--prefix", default="", metavar="NAME",
                       help="put NAME before the parsed columns' names (--prefix parsed_ writes parsed_text, "
                            "parsed_segments and parsed_markers), so that they take no input column's name")
    parse.add_argument("--threads", type=_positive, metavar="N",
                       help="parsing threads (default and most: the usable cores)")
    parse.add_argument("--batch-rows", type=_positive, default=DEFAULT_BATCH_ROWS, metavar="N",
                       help=f"rows read and parsed at a time (default: {DEFAULT_BATCH_ROWS})")
    parse.add_argument("-q", "--quiet", action="store_true", help="draw no progress bar")
    parse.add_argument("-v", "--verbose", action="store_true", help="let Ray print its own logs")
    parse.add_argument("--ray", action="store_true",
                       help="parse on Ray: a local instance of its own, listening on loopback only, "
                            "unless --ray-address names a cluster")
    parse.add_argument("--ray-address", metavar="ADDRESS",
                       help="the Ray cluster to parse on (implies --ray), such as ray://head:10001 or auto")
    parse.set_defaults(run=run_parse)

    from tagmire._show import COLOR_CHOICES

    show = commands.add_parser(
        "show", help="show one answer with its annotated stretches marked",
        formatter_class=argparse.RawDescriptionHelpFormatter, epilog=SHOW_EXAMPLES,
        description=textwrap.fill(
            "Print one answer as the parser reads it: in colour each annotated stretch in the colour of its "
            "tag, without colour marked as [stretch]{tag attr=value} and markers as {@tag attr=value}; each "
            "stretch and marker numbered, then a legend of them by number, with their tags and attributes. "
            "Escape sequences and other control characters in the answer are shown escaped."))
    show.add_argument("input", metavar="INPUT", help="a file, a folder, or - for standard input")
    show.add_argument("--row", type=int, default=0, metavar="N",
                      help="the row to show, counting from 0 (default: 0)")
    show.add_argument("--color", choices=COLOR_CHOICES, default="auto",
                      help="colour the stretches: always, never, or auto (the default): on a terminal that is "
                           "not TERM=dumb, unless NO_COLOR is set or FORCE_COLOR is; --color wins over both")
    _add_reading_options(show)
    show.set_defaults(run=run_show)
    return parser


def run_show(args: argparse.Namespace, stdin: _inputs.ByteSource, stdout: IO[str]) -> None:
    from tagmire import _show

    config = _config(args)
    if args.row < 0:
        raise UsageError(f"--row {args.row}: rows count from 0")
    _inputs.describe(args.input)
    args.inputs, args.batch_rows = [args.input], DEFAULT_BATCH_ROWS
    # Nothing is written, so no input column may stand in the way: the
    # parsed columns take names of their own.
    prefix = "\x00show "
    run = Run(ParseColumn(args.field, config, 1, None, args.errors, prefix, max_output_ratio=args.max_output_ratio),
              args.field)
    seen = 0
    for batch in _local_batches(args, stdin):
        if args.row < seen + batch.table.num_rows:
            row = args.row - seen
            def place(_: int, batch: Batch = batch, row: int = row) -> str:
                return batch.place(row)

            one = Batch(batch.table.slice(row, 1), place, batch.label, batch.kind, batch.first, 0)
            parsed = run.parse(one)
            _show.show(parsed.column(prefix + "text")[0].as_py(), parsed.column(prefix + "segments")[0].as_py(),
                       parsed.column(prefix + "markers")[0].as_py(), f"{batch.place(row)}", stdout,
                       colour=_show.wants_colour(args.color, stdout, os.environ))
            return
        seen += batch.table.num_rows
    raise DataError(f"{args.input}: has {seen} rows, so no row {args.row}")


def _report(message: object) -> None:
    print(f"tagmire: error: {message}", file=sys.stderr)


# The parser, built once per process: argparse builds a parser from many
# small objects and keeps some of them in caches of its own, so a program
# that runs main() again and again would grow by them.
_PARSERS: list[argparse.ArgumentParser] = []


def main(argv: Sequence[str] | None = None) -> int:
    if not _PARSERS:
        _PARSERS.append(build_parser())
    parser = _PARSERS[0]
    arguments = list(sys.argv[1:] if argv is None else argv)
    if not arguments:
        parser.print_help(sys.stderr)
        return EXIT_USAGE
    args = parser.parse_args(arguments)
    if args.command is None:
        parser.print_help(sys.stderr)
        return EXIT_USAGE
    if args.command == "parse" and args.ray_address is not None:
        args.ray = True
    # A caller that closed a standard stream (`<&-`, `>&-`) leaves Python
    # None for it: a closed input reads as empty, as /dev/null does.
    if sys.stdout is None and getattr(args, "output", "-") == "-":
        _report("cannot write: standard output is closed")
        return EXIT_DATA
    try:
        with signals_interrupt(sys.stdin.buffer if sys.stdin is not None else io.BytesIO()) as stdin:
            args.run(args, stdin, sys.stdout)
    except UsageError as error:
        _report(error)
        return EXIT_USAGE
    except (DataError, ConfigError) as error:
        _report(error)
        return EXIT_DATA
    except Interrupted as interruption:
        return 128 + interruption.signum
    except KeyboardInterrupt:
        return 128 + signal.SIGINT
    except BrokenPipeError:
        # The reader of standard output has gone (`| head`): end quietly,
        # and keep the interpreter's last flush from reporting it again.
        with contextlib.suppress(OSError):
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_BROKEN_PIPE
    except MemoryError:
        _report("out of memory: a batch and its parse did not fit; a smaller --batch-rows needs less")
        return EXIT_DATA
    except OSError as error:
        where = f"{printable(os.fsdecode(error.filename))}: " if error.filename else ""
        _report(f"{where}{error.strerror or error}")
        return EXIT_DATA
    except Exception as error:
        # A damaged file surfaces as pyarrow's own error, deep in a read.
        arrow = sys.modules.get("pyarrow")
        if arrow is None or not isinstance(error, arrow.ArrowException):
            raise
        _report(error)
        return EXIT_DATA
    return 0
