"""Timing helpers shared by the Python benchmarks.

Every timed call gets a str of its own: for non-ASCII text the interpreter
caches the UTF-8 form inside the str on first use, and a real workload parses
each answer once, so reusing one str would hide that encoding cost.
"""

from __future__ import annotations

import argparse
import gc
import os
import platform
import statistics
import time
from collections.abc import Callable, Sequence
from typing import Any


def positive(kind: Callable[[str], Any]) -> Callable[[str], Any]:
    """An argparse type: the argument read as `kind` (int or float), refused
    with argparse's one-line error unless above zero, since a count, size or
    limit of zero leaves nothing to measure (and a median of nothing, or a
    division by it, ended the run in a traceback)."""
    def read(text: str) -> Any:
        value = kind(text)
        if not value > 0:
            raise argparse.ArgumentTypeError(f"must be above zero, not {text}")
        return value

    read.__name__ = kind.__name__  # argparse names it in "invalid int value: 'x'"
    return read


def fresh(s: str) -> str:
    """An equal str that shares nothing with `s`, its cached UTF-8 included."""
    return s.encode("utf-8", "surrogatepass").decode("utf-8", "surrogatepass")


def compile_loop(statement: str, namespace: dict[str, Any],
                 clock: Callable[[], float] = time.perf_counter) -> Callable[[Sequence[str]], float]:
    """A function timing `statement` once per item of its argument, bound to
    `s`; the loop is compiled, as timeit does, so no call per item is added.
    `clock` may be time.thread_time, which leaves out the time other
    processes hold the core: growth ratios then hold on a busy machine."""
    source = (
        "def _loop(_inputs, _clock=_clock):\n"
        "    _t0 = _clock()\n"
        "    for s in _inputs:\n"
        f"        {statement}\n"
        "    return _clock() - _t0\n"
    )
    scope = dict(namespace, _clock=clock)
    exec(compile(source, f"<bench {statement!r}>", "exec"), scope)
    return scope["_loop"]


def time_per_call(loop: Callable[[Sequence[str]], float], s: str, number: int) -> float:
    """Seconds per call over `number` calls, each on a fresh copy of `s`,
    with the collector off while timing (as timeit)."""
    inputs = [fresh(s) for _ in range(number)]
    gc.collect()
    gc.disable()
    try:
        elapsed = loop(inputs)
    finally:
        gc.enable()
    del inputs
    return elapsed / number


def calibrate(loop: Callable[[Sequence[str]], float], s: str, target: float, limit: int = 200_000) -> int:
    """How many calls make one sample last about `target` seconds."""
    number = 1
    while number < limit:
        per_call = time_per_call(loop, s, number)
        if per_call * number >= target / 4:
            return max(1, min(limit, int(target / max(per_call, 1e-9))))
        number *= 10
    return limit


def steady_malloc() -> bool:
    """Makes glibc keep freed memory in the process (as tagmire_scaling does),
    so that large parses stop paying for fresh pages; for diagnosis only, as
    users run with the allocator's defaults."""
    try:
        import ctypes

        libc = ctypes.CDLL("libc.so.6")
        return bool(libc.mallopt(-3, 1 << 30) and libc.mallopt(-1, -1))  # M_MMAP_THRESHOLD, M_TRIM_THRESHOLD
    except (OSError, AttributeError):
        return False


def load_average() -> str:
    try:
        return " ".join(f"{x:.1f}" for x in os.getloadavg())
    except OSError:
        return ""


def median(values: Sequence[float]) -> float:
    return statistics.median(values)


def cpu_name(cpuinfo: str) -> str | None:
    """The processor as /proc/cpuinfo names it, with its family and model
    numbers: under a hypervisor the name alone may be as vague as "AMD
    EPYC", which reads the same for processors of different generations
    whose figures differ several times over. None when it names none."""
    fields: dict[str, str] = {}
    for line in cpuinfo.splitlines():
        if not line.strip():
            break  # the first processor is enough
        key, _, value = line.partition(":")
        fields.setdefault(key.strip(), value.strip())
    if "model name" not in fields:
        return None
    details = [f"{label} {fields[name]}" for label, name in (("family", "cpu family"), ("model", "model"))
               if fields.get(name)]
    # The widest vector level, which decides which of the parser's kernels run.
    flags = set(fields.get("flags", "").split())
    details += [level for level, flag in (("AVX-512", "avx512f"), ("AVX2", "avx2")) if flag in flags][:1]
    return fields["model name"] + (f" ({', '.join(details)})" if details else "")


def machine() -> dict[str, str]:
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            cpu = cpu_name(f.read()) or cpu
    except OSError:
        pass
    memory = ""
    try:
        with open("/proc/meminfo") as f:
            kb = int(next(line.split()[1] for line in f if line.startswith("MemTotal")))
            memory = f"{kb / (1 << 20):.0f} GiB"
    except (OSError, StopIteration, ValueError):
        pass
    return {
        "cpu": cpu,
        "cores": str(os.cpu_count()),
        "memory": memory,
        "python": platform.python_version(),
        "os": f"{platform.system()} {platform.release()}",
        "date": time.strftime("%Y-%m-%d"),
    }


def human_bytes(n: int) -> str:
    for unit, shift in (("MB", 20), ("KB", 10)):
        if n >= 1 << shift and n % (1 << shift) == 0:
            return f"{n >> shift} {unit}"
    return f"{n} B"


def human_seconds(t: float) -> str:
    if t < 1e-6:
        return f"{t * 1e9:.0f} ns"
    if t < 1e-3:
        return f"{t * 1e6:.1f} µs"
    if t < 1:
        return f"{t * 1e3:.2f} ms"
    return f"{t:.2f} s"
