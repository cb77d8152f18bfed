"""What the Python tests share, each defined here once (the atheris target,
fuzz/fuzz_python_api.py, imports this file by its path too, and so do the
tests' child processes): results and configurations read as plain values,
generated inputs and configurations, a stream's preview kept as a user
interface keeps it, arguments built to misbehave, the hang guard and child
processes under a memory limit, the leak check, and mypy run on a user's
code."""

import ctypes
import ctypes.util
import dataclasses
import faulthandler
import functools
import gc
import importlib.util
import os
import subprocess
import sys

import pytest
from hypothesis import strategies as st

import _tagmire_rs
from _tagmire_rs import ParserConfig, parse

# --- results and configurations as plain values ----------------------------


def shape(result):
    """Everything a parse result shows, as plain values that compare by value:
    (text, [(segment text, [(tag, attrs), ...]), ...], [(pos, tag, attrs), ...]).
    Takes the module's results and the package's alike."""
    return (
        result.text,
        [(s.text, [(a.tag, a.attrs) for a in s.annotations]) for s in result.segments],
        [(m.pos, m.annotation.tag, m.annotation.attrs) for m in result.markers],
    )


def tagged_segments(result):
    """The segments with the names of their tags only: [(text, [tag, ...]), ...]."""
    return [(s.text, [a.tag for a in s.annotations]) for s in result.segments]


def check_result(result):
    """Asserts what every result keeps, read through the Python surface:
    segments cut the text into non-empty pieces, markers stand in order at
    byte offsets within it, and the repr counts them. Returns the segments."""
    text = result.text
    segments = result.segments
    assert all(segment.text for segment in segments)
    assert "".join(segment.text for segment in segments) == text
    size = len(text.encode())
    positions = [marker.pos for marker in result.markers]
    assert positions == sorted(positions)
    assert all(0 <= pos <= size for pos in positions)
    assert repr(result) == f"ParseResult(text_len={size}, segments={len(segments)}, markers={len(positions)})"
    return segments


# Inputs on which every field of a configuration shows through.
PROBES = [
    "abc<cite>",
    "Water boils.<cite>",
    "<x>a</x> <Note>b",
    "<CLAIM>c</claim> <Claim>d",
    "<cite><note>a</note></cite> <note>one<note>two",
    "Water boils.<cite> <x>a</x> <Note>b\n<claim>c</claim><todo/>",
]


def observed(config):
    """What a ParserConfig shows on PROBES: each one's text and tagged
    segments. A call that must leave the object as it was leaves this as
    it was."""
    return [(result.text, tagged_segments(result)) for result in (parse(probe, config) for probe in PROBES)]


# --- generated inputs and configurations -----------------------------------

UNKNOWN_MODES = ["strip", "passthrough", "treat_as_text"]
RECOVERY_STRATEGIES = ["retro_line", "forward_until_tag", "forward_until_newline", "forward_next_token", "noop"]

# Every kind of tag, markup cut short, and characters of every UTF-8 width.
PIECES = st.sampled_from(
    [
        "<cite>", "</cite>", "<CITE/>", "<note>", "</Note>", "<note id='1' x/>", "<todo k=v>", "<claim>",
        "</claim>", "<risk/>", "<code>", "<x>", "</x>", '<y a="b"/>', "<cite src=é k/>", "<", ">", "</", "/>",
        "<![CDATA[", "]]>", "\n", "\n\n", " ", ".", ",", "é", "—", "\u00a0", "\u0301", "🙂", "東京", "ÿ", "'", '"',
    ]
)
# Hypothesis leaves lone surrogates out of its text, so every text parses.
TEXTS = st.lists(st.one_of(PIECES, st.text(max_size=8)), max_size=40).map("".join)
TAG_NAMES = st.sampled_from(["cite", "note", "todo", "Claim", "risk", "code", "x", "y", ""])
# Recovery strategies as a user may write them: case folds.
RECOVERY_KEYWORDS = st.sampled_from([*RECOVERY_STRATEGIES, "NOOP"])


@st.composite
def _configs(draw):
    """A tagmire.Config near a preset, with every switch drawn."""
    from tagmire import Config

    config = Config.preset(draw(st.sampled_from(["default", "cite", "compat_default", "compat_cite"])))
    return dataclasses.replace(
        config,
        recognized_tags=config.recognized_tags | draw(st.sets(st.sampled_from(["b", "a", "x", "Note"]), max_size=2)),
        autoclose_on_any_tag=draw(st.booleans()),
        autoclose_on_same_tag=draw(st.booleans()),
        trim_punctuation=draw(st.booleans()),
        case_sensitive_tags=draw(st.booleans()),
        provisional_autoclose=draw(st.booleans()),
        retro_line_split=draw(st.booleans()),
        token_clusters=draw(st.booleans()),
        unknown_mode=draw(st.sampled_from(["strip", "passthrough"])),
        recovery_strategies=[*config.recovery_strategies, (
            draw(st.sampled_from(["note", "NOTE", "Note"])),
            draw(st.sampled_from(["retro_line", "forward_until_tag", "forward_next_token", "noop"])))],
    )


CONFIGS = _configs()


def family_config(family):
    """A hostile family's configuration as a file the command line reads
    (a mapping for JSON or Config.from_mapping)."""
    config = family.config
    return {"preset": "compat_default", "recognized_tags": config.recognized(),
            "recovery_strategies": config.strategies(), "autoclose_on_any_tag": config.autoclose_on_any_tag,
            "autoclose_on_same_tag": config.autoclose_on_same_tag}


# --- streams ----------------------------------------------------------------


def joined_committed(updates):
    """The committed runs of a stream's updates joined into one result's
    shape, checking every position on the way."""
    text, segments, markers = "", [], []
    for update in updates:
        run = update.committed
        assert run.start == len(text.encode()) and run.char_start == len(text) and not run.provisional
        whole = text + run.text
        for segment in run.segments:
            assert whole[segment.char_start:segment.char_end] == segment.text
            assert whole.encode()[segment.start:segment.end] == segment.text.encode()
            shaped = (segment.text, [(a.tag, a.attrs) for a in segment.annotations])
            if segment.continues:
                assert segments and segments[-1][1] == shaped[1]
                segments[-1] = (segments[-1][0] + segment.text, shaped[1])
            else:
                segments.append(shaped)
        for marker in run.markers:
            assert marker.char_pos == len(whole.encode()[:marker.pos].decode())
            markers.append((marker.pos, marker.annotation.tag, marker.annotation.attrs))
        text = whole
    return text, segments, markers


class ShownPreview:
    """The held-back text as a user interface shows it, kept from the
    updates: committed text leaves it, `revised` stretches replace what was
    shown between their ends, `pending` replaces everything from its start,
    and a segment that `continues` joins the one shown before it."""

    def __init__(self):
        self.pieces = []  # [start, end, text, annotations] in whole-text characters
        self.markers = []

    @classmethod
    def of(cls, whole):
        shown = cls()
        shown._replace(whole, to_end=True)
        return shown

    def _cut(self, at):
        for i, (start, end, text, annotations) in enumerate(self.pieces):
            if start < at < end:
                self.pieces[i:i + 1] = [[start, at, text[:at - start], annotations],
                                        [at, end, text[at - start:], annotations]]
                return

    def _replace(self, run, to_end):
        self._cut(run.char_start)
        self._cut(run.char_end)
        self.pieces = [p for p in self.pieces if p[0] < run.char_start or (not to_end and p[0] >= run.char_end)]
        added = [[s.char_start, s.char_end, s.text, [(a.tag, a.attrs) for a in s.annotations]] for s in run.segments]
        if added and run.segments[0].continues:
            before = [p for p in self.pieces if p[1] == run.char_start]
            assert before and before[0][3] == added[0][3], "a continued segment must carry the same annotations"
            before[0][1], before[0][2] = added[0][1], before[0][2] + added[0][2]
            added = added[1:]
        self.pieces = sorted(self.pieces + added, key=lambda p: p[0])
        self.markers += [(m.pos, m.annotation.tag, m.annotation.attrs) for m in run.markers]

    def apply(self, update):
        """The update by its documented rule alone."""
        settled = update.committed.char_end
        self._cut(settled)
        self.pieces = [p for p in self.pieces if p[0] >= settled]
        # Markers settle with the text before them (byte positions).
        self.markers = [m for m in self.markers if m[0] > update.committed.end]
        for run in update.revised:
            assert run.provisional and not run.markers
            self._replace(run, to_end=False)
        # The pending run replaces everything from its start: markers too.
        self.markers = [m for m in self.markers if m[0] < update.pending.start]
        self._replace(update.pending, to_end=True)

    def shape(self):
        """(text, [(segment text, annotations), ...], markers) as shown."""
        return ("".join(p[2] for p in self.pieces), [(p[2], p[3]) for p in self.pieces], self.markers)


# --- arguments built to misbehave -------------------------------------------


class Text(str):
    """A str whose Python-level methods all lie: whatever takes text must
    read the str's own data, never ask the object."""

    def __len__(self):
        raise AssertionError("__len__ called")

    def __str__(self):
        raise AssertionError("__str__ called")

    def encode(self, *args, **kwargs):
        raise AssertionError("encode called")

    def __getitem__(self, index):
        raise AssertionError("__getitem__ called")


class CallbackSequence:
    """A sequence by the old protocol (__len__ and __getitem__, no __iter__):
    a setter reading it runs Python code while it holds its object.
    `on_len` runs from __len__ and `on_item` from __getitem__, before the
    answer; either may raise, call back into the module or let other threads
    run. `length`, a value or a callable, replaces the length __len__
    reports."""

    def __init__(self, items, on_len=None, on_item=None, length=None):
        self.items = items
        self.on_len = on_len
        self.on_item = on_item
        self.length = length

    def __len__(self):
        if self.on_len:
            self.on_len()
        if self.length is not None:
            return self.length() if callable(self.length) else self.length
        return len(self.items)

    def __getitem__(self, index):
        if self.on_item:
            self.on_item()
        return self.items[index]

    def __repr__(self):  # the same test id in every run
        return f"CallbackSequence({self.items!r})"


def fake_numpy_bool(truth):
    """An object that passes for numpy's bool scalar by its full name: its
    truth value is `truth`, or what `truth`, a __bool__, returns."""
    method = truth if callable(truth) else (lambda self: truth)
    return type("bool_", (), {"__module__": "numpy", "__bool__": method})()


def refused_while_busy(config):
    """Uses `config` from inside a call that holds it (a setter reading a
    CallbackSequence): a parse and each setter tried must be refused, each
    with its own message."""
    for attempt, message in ((lambda: parse("x", config), "Already mutably borrowed"),
                             (lambda: config.set_unknown_mode("strip"), "Already borrowed"),
                             (lambda: config.set_trim_punctuation(True), "Already borrowed")):
        try:
            attempt()
        except RuntimeError as error:
            if str(error) != message:
                raise AssertionError(f"refused with {error!r}") from error
        else:
            raise AssertionError("a busy ParserConfig was used")


def cannot_convert(param, value, target):
    """The message of the TypeError for an argument `value` of the wrong type."""
    return f"argument '{param}': '{type(value).__qualname__}' object cannot be converted to '{target}'"


def encoding_error(text):
    """The UnicodeEncodeError that encoding `text` as UTF-8 raises, or None."""
    try:
        str.encode(text, "utf-8")
    except UnicodeEncodeError as error:
        return error
    return None


# --- hangs and child processes ----------------------------------------------


@pytest.fixture
def hang_guard():
    """A test that hangs dumps every thread's stack and ends the run instead
    of stalling CI until its time runs out."""
    faulthandler.dump_traceback_later(300, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


def run_python(code, *args, timeout):
    """Runs `code` in a new process of this interpreter, with `args` in its
    sys.argv[1:] and this file's folder on its path (so that it can import
    this file too); the process must succeed. Returns what it printed."""
    folder = os.path.dirname(os.path.abspath(__file__))
    completed = subprocess.run([sys.executable, "-c", f"import sys; sys.path.insert(0, {folder!r})\n{code}", *args],
                               capture_output=True, text=True, timeout=timeout, check=False)
    assert completed.returncode == 0, completed.stderr
    return completed.stdout


def run_on_terminal(argv, cwd, stdout_too=False, env=None):
    """Runs the command line (`python -m tagmire`) with standard error, and
    standard output too if asked, on a pseudo-terminal of 100 columns;
    `env` is added to this process's environment (TERM=xterm-256color
    unless it says otherwise). Returns (status, what the terminal showed)."""
    import fcntl
    import pty
    import struct
    import termios

    controller, terminal = pty.openpty()
    fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))
    process = subprocess.Popen([sys.executable, "-m", "tagmire", *argv], cwd=cwd, stderr=terminal,
                               stdout=terminal if stdout_too else subprocess.DEVNULL,
                               env={**os.environ, "TERM": "xterm-256color", **(env or {})})
    os.close(terminal)
    shown = b""
    while True:
        try:
            chunk = os.read(controller, 65536)
        except OSError:  # the terminal's other end has closed
            break
        if not chunk:
            break
        shown += chunk
    os.close(controller)
    return process.wait(timeout=120), shown.decode(errors="replace")


# RLIMIT_AS is Linux's, and AddressSanitizer reserves more address space
# for its shadow memory than any limit here would leave.
needs_address_space_limit = pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", "") or not sys.platform.startswith("linux"),
    reason="needs Linux's RLIMIT_AS, which AddressSanitizer's reserved shadow memory rules out",
)


def limit_address_space(headroom):
    """Lets this process map at most `headroom` bytes more than it has
    mapped now; returns the limits before, for resource.setrlimit."""
    import resource

    with open("/proc/self/status") as status:
        size = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (size + headroom, hard))
    return soft, hard


# --- leaks --------------------------------------------------------------------
# Checked the way CPython's -R does: run the same work again and again after a
# warm-up, and call it a leak only when a counter grows on every run.

WARM_UPS = 3
RUNS = 6
# Growth per run at or above which a counter counts as grown. The
# measurement itself may move a counter by a few units; a leak of one
# reference, block or allocation per call grows it by the repetitions.
GROWN = {"total references": 20, "watched references": 20, "memory blocks": 20, "C heap bytes": 4096}

# What every path of the module hands out or raises: a reference taken on
# one of these and never given back shows here.
WATCHED = [ParserConfig, parse, _tagmire_rs.ParseResult, _tagmire_rs.Segment, _tagmire_rs.Annotation,
           _tagmire_rs.Marker, None, True, False, TypeError, ValueError, UnicodeEncodeError, RuntimeError]


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]


@functools.cache
def c_library():
    """The C library through ctypes, or None where ctypes cannot find it by
    name (Windows, or a musl system without the tools find_library asks)."""
    name = ctypes.util.find_library("c")
    return ctypes.CDLL(name) if name else None


needs_c_library = pytest.mark.skipif(c_library() is None, reason="ctypes finds no C library by name here")


@functools.cache
def heap_in_use():
    """A function giving the bytes in use in glibc's heap, where the parser's
    own allocations live, or None where that says nothing about them
    (another libc, or a sanitizer's allocator in its place)."""
    libc = c_library()
    if libc is None:
        return None
    try:
        mallinfo2 = libc.mallinfo2
    except AttributeError:  # not glibc, or older than 2.33
        return None
    mallinfo2.restype = MallInfo2
    libc.malloc.restype = ctypes.c_void_p
    libc.free.argtypes = [ctypes.c_void_p]

    def in_use():
        info = mallinfo2()
        return info.uordblks + info.hblkhd

    before = in_use()
    block = libc.malloc(1 << 20)
    seen = in_use() - before >= 1 << 20
    libc.free(block)
    return in_use if seen else None


def _counters(watched):
    gc.collect()
    heap = heap_in_use()
    return {
        "total references": sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else 0,
        "watched references": sum(sys.getrefcount(obj) for obj in watched),
        "memory blocks": sys.getallocatedblocks(),
        "C heap bytes": heap() if heap else 0,
    }


def leaks(work, watched=(), repetitions=200):
    """The counters that grew on every one of RUNS runs of `work` repeated
    `repetitions` times, with their growth per run: the interpreter's total
    reference count (debug builds), the references held on `watched`, the
    interpreter's memory blocks, and the bytes in use in the C heap."""

    def run():
        for _ in range(repetitions):
            work()

    for _ in range(WARM_UPS):
        run()
    # Deltas go into lists made beforehand, so that measuring does not
    # itself grow the counters from run to run.
    deltas = {name: [0] * RUNS for name in GROWN}
    before = _counters(watched)
    for i in range(RUNS):
        run()
        after = _counters(watched)
        for name in GROWN:
            deltas[name][i] = after[name] - before[name]
        before = after
    return {name: d for name, d in deltas.items() if all(delta >= GROWN[name] for delta in d)}


def call_each(failures):
    """Makes every call of [(call, error)]; each must raise its error, or
    succeed where that is None."""
    for call, error in failures:
        if error is None:
            call()
            continue
        try:
            call()
        except error:
            pass
        else:
            raise AssertionError(f"no {error.__name__}")


# --- mypy ---------------------------------------------------------------------


def _needs_mypy():
    if importlib.util.find_spec("mypy") is None:
        pytest.skip("mypy is not installed")


def run_mypy_on(tmp_path, code):
    """mypy's report on `code`, checked as a user's file would be: from its
    own folder, with nothing of ours on its search path. Skips the test
    where mypy is not installed."""
    _needs_mypy()
    user_code = tmp_path / "user_code.py"
    user_code.write_text(code, encoding="utf-8")
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--cache-dir", str(tmp_path / "cache"), str(user_code)],
        capture_output=True, text=True, cwd=tmp_path, timeout=300, check=False,
        env={k: v for k, v in os.environ.items() if k != "MYPYPATH"},
    ).stdout


def run_stubtest(tmp_path, module, *options, stubs=None):
    """mypy.stubtest's run on the installed `module`, from `tmp_path`, with
    the folder `stubs` on mypy's search path when given (mypy looks for no
    single-module stub on sys.path, and refuses a MYPYPATH inside
    site-packages). Skips the test where mypy is not installed."""
    _needs_mypy()
    env = dict(os.environ, MYPY_CACHE_DIR=str(tmp_path / "cache"))
    if stubs is not None:
        env["MYPYPATH"] = str(stubs)
    return subprocess.run([sys.executable, "-m", "mypy.stubtest", module, *options], capture_output=True,
                          text=True, cwd=tmp_path, env=env, timeout=300, check=False)
