"""Many threads on one ParserConfig: parses see the configuration as some
setter left it, never a mixture, and the only refusals are the defined
RuntimeErrors, which need Python code running inside a setter."""

import functools
import itertools
import sys
import threading
import time

import pytest

from _tagmire_rs import ParserConfig, parse
from conftest import CallbackSequence, shape

SOURCE = "Water boils.<cite> <x>a</x> <note>b\n<claim>c</claim> <risk/>d"
TAG_SETS = (["cite", "note", "risk"], ["cite", "claim"])
MODES = ("strip", "passthrough")
FLAGS = (True, False)


def possible_shapes():
    """What a parse may show while setters move between these values."""
    shapes = set()
    for tags, mode, trim in itertools.product(TAG_SETS, MODES, FLAGS):
        config = ParserConfig()
        config.set_recognized_tags(tags)
        config.set_unknown_mode(mode)
        config.set_trim_punctuation(trim)
        shapes.add(repr(shape(parse(SOURCE, config))))
    return shapes


@pytest.fixture(autouse=True)
def busy_switching(hang_guard):
    """Switch threads as often as the interpreter allows; a hang ends the
    run with every thread's stack."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def run_threads(parsers, setters, parses=400):
    """Runs `parsers` threads parsing SOURCE with one shared config and
    `setters` threads cycling through the setter calls in `setters` until
    the parsers are done. Returns the shapes seen and the errors raised."""
    config = ParserConfig()
    done = threading.Event()
    seen, errors = set(), []
    lock = threading.Lock()

    def parser():
        local = set()
        for _ in range(parses):
            try:
                local.add(repr(shape(parse(SOURCE, config))))
            except Exception as error:  # noqa: BLE001 - every error is reported
                with lock:
                    errors.append(error)
        with lock:
            seen.update(local)

    def setter(calls):
        for call in itertools.cycle(calls):
            if done.is_set():
                return
            try:
                call(config)
            except Exception as error:  # noqa: BLE001
                with lock:
                    errors.append(error)

    parser_threads = [threading.Thread(target=parser) for _ in range(parsers)]
    setter_threads = [threading.Thread(target=setter, args=(calls,)) for calls in setters]
    for thread in setter_threads + parser_threads:
        thread.start()
    for thread in parser_threads:
        thread.join()
    done.set()
    for thread in setter_threads:
        thread.join()
    # Whatever happened, the object is free again.
    config.set_recognized_tags(TAG_SETS[0])
    parse(SOURCE, config)
    return seen, errors


PLAIN_SETTERS = [
    [lambda c: c.set_recognized_tags(TAG_SETS[0]), lambda c: c.set_recognized_tags(tuple(TAG_SETS[1]))],
    [lambda c: c.set_unknown_mode(MODES[0]), lambda c: c.set_unknown_mode(mode=MODES[1])],
    [lambda c: c.set_trim_punctuation(FLAGS[0]), lambda c: c.set_trim_punctuation(val=FLAGS[1])],
]


def test_parses_and_setters_on_one_config_never_collide():
    seen, errors = run_threads(parsers=6, setters=PLAIN_SETTERS)
    assert errors == []
    # More than one configuration was seen, so setters did run in between.
    assert 1 < len(seen) and seen <= possible_shapes()


def yielding_tags(tags):
    """Tags whose every read lets other threads run while the setter holds
    the config."""
    let_others_run = functools.partial(time.sleep, 0)
    return CallbackSequence(tags, on_len=let_others_run, on_item=let_others_run)


def test_setters_running_python_code_refuse_the_other_threads_with_the_defined_errors():
    setters = [
        [lambda c: c.set_recognized_tags(yielding_tags(TAG_SETS[0])),
         lambda c: c.set_recognized_tags(yielding_tags(TAG_SETS[1]))],
        *PLAIN_SETTERS[1:],
    ]
    seen, errors = run_threads(parsers=4, setters=setters)
    assert seen <= possible_shapes()
    messages = {(type(error), str(error)) for error in errors}
    assert messages <= {(RuntimeError, "Already borrowed"), (RuntimeError, "Already mutably borrowed")}
    # Parses did meet a setter at work, or this test proves nothing.
    assert (RuntimeError, "Already mutably borrowed") in messages


def test_one_result_read_from_many_threads():
    result = parse(SOURCE * 200)
    expected = shape(result), repr(result), [repr(s) for s in result.segments]
    outcomes = []

    def reader():
        for _ in range(20):
            outcomes.append((shape(result), repr(result), [repr(s) for s in result.segments]) == expected)

    threads = [threading.Thread(target=reader) for _ in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert outcomes == [True] * 160


@pytest.mark.slow
def test_threads_under_load_for_longer():
    seen, errors = run_threads(parsers=8, setters=PLAIN_SETTERS * 2, parses=5000)
    assert errors == []
    assert seen <= possible_shapes()
