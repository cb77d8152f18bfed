"""Leaks of the streaming parser, checked as test_leaks.py checks parse: the
same work again and again, a leak only where a counter grows on every run.
Driven: streams fed in pieces of every size with previews, with every kind
of configuration, read back in full, and their refusals."""

import pytest

from conftest import WATCHED, leaks

from tagmire import Config, ParserConfig, StreamParser

ANSWER = ('héllo <cite id="7" urgent>it\'s</cite> wörld<note n="1"/>\nWater boils.<cite>\n<note>x <![CDATA[a<b>]]>'
          "🙂<claim k=v>y</claim>\n") * 5
CONFIG = Config.cite()
PARSER_CONFIG = ParserConfig()


def read(update):
    for run in (update.committed, getattr(update, "pending", None), *getattr(update, "revised", ())):
        if run is not None:
            [(s.text, s.start, s.char_end, [(a.tag, dict(a.attrs)) for a in s.annotations]) for s in run.segments]
            [(m.pos, m.char_pos, m.annotation.tag) for m in run.markers]
            run.to_dict()


def stream_every_way():
    for config in (None, CONFIG, PARSER_CONFIG):
        for size in (1, 7, 1000):
            stream = StreamParser(config, preview=size != 1000)
            for i in range(0, len(ANSWER), size):
                read(stream.feed(ANSWER[i:i + size]))
            read(stream.close())
            if size != 1000:
                stream.preview().to_dict()


def fail_every_way():
    stream = StreamParser()
    for call, error in [(lambda: stream.feed(b"x"), TypeError), (lambda: stream.feed("\ud800"), UnicodeEncodeError),
                        (lambda: StreamParser({}), TypeError)]:
        with pytest.raises(error):
            call()
    stream.close()
    with pytest.raises(ValueError):
        stream.feed("late")


@pytest.mark.parametrize(("work", "repetitions"), [(stream_every_way, 10), (fail_every_way, 100)],
                         ids=["streams", "failures"])
def test_stream_work_returns_to_its_baseline(work, repetitions):
    assert leaks(work, [*WATCHED, CONFIG, PARSER_CONFIG], repetitions) == {}
