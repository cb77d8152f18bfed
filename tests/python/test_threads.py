"""Many threads on shared objects: one ParserConfig parsed with while setters
change it, one result read at once, one stream fed from several threads,
batches side by side. With the interpreter lock the threads take turns as
often as it lets them; on a free-threaded interpreter they run at once.
Parses see the configuration as some setter left it, never a mixture, and
the only refusals are the defined RuntimeErrors."""

import functools
import itertools
import re
import sys
import threading
import time

import pytest

import tagmire
from _tagmire_rs import ParserConfig, parse
from conftest import CallbackSequence, joined_committed, shape
from inputs import hostile_families

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


def run_at_once(work, threads=4):
    """Runs `work(i)` on threads i = 0, 1, ... released together, and returns
    what each returned (an exception counts as what it returned)."""
    start = threading.Barrier(threads)
    outcomes = [None] * threads

    def run(i):
        start.wait()
        try:
            outcomes[i] = work(i)
        except Exception as error:  # noqa: BLE001 - compared with the rest
            outcomes[i] = error

    workers = [threading.Thread(target=run, args=(i,)) for i in range(threads)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    return outcomes


def positions(result):
    """The byte and character positions of a package result's records."""
    return (result.end, [(s.start, s.end, s.char_start, s.char_end) for s in result.segments],
            [(m.pos, m.char_pos) for m in result.markers])


# Non-ASCII, so that a first read converts positions between characters and
# bytes: the step that threads reading one new result at once must not
# repeat or see half done.
READ_AT_ONCE = [
    pytest.param(family.make(3000).replace(" ", " \u00e9", 50), family.config.build(), id=family.name)
    for family in hostile_families.FAMILIES
] + [pytest.param("\u00e9t\u00e9 " + SOURCE * 40, ParserConfig(), id="source")]


@pytest.mark.parametrize(("text", "config"), READ_AT_ONCE)
def test_a_new_result_read_by_threads_at_once_reads_as_it_does_alone(text, config):
    expected_module = shape(parse(text, config))
    package = tagmire.parse(text, config)
    expected_package = shape(package), positions(package)
    for _ in range(8):
        result = parse(text, config)
        assert run_at_once(lambda _: shape(result)) == [expected_module] * 4  # noqa: B023 - run before the next
        parsed = tagmire.parse(text, config)
        assert run_at_once(lambda _: (shape(parsed), positions(parsed))) == [expected_package] * 4  # noqa: B023


PIECES = 300
REFUSED_STREAM = "this StreamParser is in use by another thread; a stream takes one call at a time"


def feed_until_taken(stream, pieces, refusals):
    """Feeds each piece, again while the stream refuses it; returns the
    updates and adds the refusals' messages to `refusals`."""
    updates = []
    for piece in pieces:
        while True:
            try:
                updates.append(stream.feed(piece))
                break
            except RuntimeError as error:
                refusals.append(str(error))
    return updates


@pytest.mark.parametrize("preview", [False, True])
def test_a_stream_fed_from_many_threads_takes_each_piece_once(preview):
    stream = tagmire.StreamParser(preview=preview)
    refusals, getters = [], []
    feeding = threading.Event()

    def reader():
        # What the getters show while feeds run on other threads.
        while feeding.is_set():
            getters.append((stream.closed, stream.held_bytes))

    feeding.set()
    watcher = threading.Thread(target=reader)
    watcher.start()
    pieces = [[f"<note>{name}{i}</note> \u00e9{i}<cite/>\n" for i in range(PIECES)] for name in "abcd"]
    updates = run_at_once(lambda i: feed_until_taken(stream, pieces[i], refusals))
    feeding.clear()
    watcher.join()
    updates = [update for each in updates for update in each] + [stream.close()]
    assert set(refusals) <= {REFUSED_STREAM}
    assert all(closed is False and held >= 0 for closed, held in getters)
    # Each call's committed run follows the last call's: in order of where
    # they start, they are the whole text's parse, each piece in it once.
    updates.sort(key=lambda update: update.committed.start)
    joined = joined_committed(updates)
    lines = joined[0].splitlines(keepends=True)
    assert len(lines) == len(set(lines)) == 4 * PIECES
    taken = [re.sub(r"^(\S+) ", r"<note>\1</note> ", line).replace("\n", "<cite/>\n") for line in lines]
    assert joined == shape(tagmire.parse("".join(taken)))
    assert stream.closed and stream.held_bytes == 0


@pytest.mark.slow
def test_a_stream_fed_tiny_pieces_from_many_threads_loses_none():
    # Two calls that meet are rare, so many calls: a stream that let both
    # in would lose or mix their text.
    for _ in range(20):
        stream = tagmire.StreamParser(preview=False)
        refusals = []
        run_at_once(lambda _: feed_until_taken(stream, ["ab "] * 3000, refusals))  # noqa: B023
        assert stream.close().committed.end == 4 * 3000 * 3
        assert set(refusals) <= {REFUSED_STREAM}


def test_batches_side_by_side_each_read_one_configuration_while_setters_run():
    pytest.importorskip("pyarrow")
    texts = [family.make(2000) for family in hostile_families.FAMILIES] + [SOURCE] * 20 + [None]
    config = ParserConfig()
    expected = []
    for tags in TAG_SETS:
        config.set_recognized_tags(tags)
        expected.append(tagmire.parse_batch(texts, config, threads=2).to_pylist())
    done = threading.Event()

    def setter():
        for tags in itertools.cycle(TAG_SETS):
            if done.is_set():
                return
            config.set_recognized_tags(tags)

    switching = threading.Thread(target=setter)
    switching.start()
    try:
        tables = run_at_once(lambda _: [tagmire.parse_batch(texts, config, threads=2).to_pylist() for _ in range(6)],
                             threads=3)
    finally:
        done.set()
        switching.join()
    assert all(table in expected for batch in tables for table in batch)


def test_a_list_of_tags_changed_while_a_setter_reads_it_is_read_whole():
    few = ["cite", "note", "risk"]
    many = [f"t{i}" for i in range(40)]
    probe = "".join(f"<{tag}/>" for tag in few + many)
    tags = list(few)
    done = threading.Event()

    def changer():
        while not done.is_set():
            tags[:] = many
            tags[:] = few

    config = ParserConfig()
    seen = set()
    changing = threading.Thread(target=changer)
    changing.start()
    try:
        for _ in range(2000):
            config.set_recognized_tags(tags)
            seen.add(frozenset(marker.annotation.tag for marker in parse(probe, config).markers))
    finally:
        done.set()
        changing.join()
    assert seen <= {frozenset(few), frozenset(many)}
