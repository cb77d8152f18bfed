"""The notebook display of a ParsedText, read back as a browser reads it:
the text it shows is the text, each marker stands at its own position
(inside a highlighted stretch too), each stretch is one segment with its
tags, and nothing from the data becomes markup. Parses, stream runs
(whose positions count from the answer's start) and the hostile families
alike."""

import html.parser

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

import tagmire
from conftest import CONFIGS, TEXTS, leaks
from inputs import hostile_families
from tagmire import Config

# Answers that hold markup of HTML's own besides the parser's.
HTML_LIKE = st.lists(st.one_of(st.sampled_from([
    "<script>alert(1)</script>", "&amp;", "&", "<b>", "</b>", "<cite src='a \"b\"'/>", "<note kind=x flag>",
    "</note>", "<![CDATA[<b>]]>", "\u202e", "\x1b[2J",
]), TEXTS), max_size=8).map("".join)


class Drawn(html.parser.HTMLParser):
    """What a browser shows: the visible text, each marker as (position in
    that text, its label, its tooltip), each highlighted stretch as (text,
    the tags after it, its tooltip), and every element and attribute."""

    def __init__(self, page):
        super().__init__(convert_charrefs=True)
        self.text, self.markers, self.stretches = "", [], []
        self.elements, self.attributes = [], set()
        self._label = self._stretch = None
        self.feed(page)
        self.close()

    def handle_starttag(self, tag, attrs):
        self.elements.append(tag)
        self.attributes.update(name for name, _ in attrs)
        title = dict(attrs).get("title")
        if tag == "sup":
            self.markers.append([len(self.text), "", title])
            self._label = self.markers[-1]
        elif tag == "sub":
            self._label = self.stretches[-1]
        elif tag == "mark":
            self.stretches.append(["", "", title])
            self._stretch = self.stretches[-1]

    def handle_endtag(self, tag):
        if tag in ("sup", "sub"):
            self._label = None
        elif tag == "mark":
            self._stretch = None

    def handle_data(self, data):
        if self._label is not None:
            self._label[1] += data
            return
        self.text += data
        if self._stretch is not None:
            self._stretch[0] += data


def check_display(result):
    drawn = Drawn(result._repr_html_())
    assert drawn.text == result.text
    assert [(position, label) for position, label, _ in drawn.markers] == [
        (m.char_pos - result.char_start, "\u25c6" + m.annotation.tag) for m in result.markers]
    assert [title.split(" ")[0] for _, _, title in drawn.markers] == [m.annotation.tag for m in result.markers]
    assert [(text, tags) for text, tags, _ in drawn.stretches] == [
        (s.text, ", ".join(a.tag for a in s.annotations)) for s in result.segments if s.annotations]
    assert set(drawn.elements) <= {"div", "mark", "sub", "sup"} and drawn.elements.count("div") == 1
    assert drawn.attributes <= {"class", "style", "title"}


@given(st.one_of(TEXTS, HTML_LIKE), CONFIGS)
@example("Alpha beta<cite src=a/> gamma delta<cite src=b>.", Config())
@example("<note>a <cite/>b<todo/></note>c<cite/>", Config())
@settings(max_examples=300, deadline=None)
def test_the_display_shows_the_text_with_each_marker_where_it_stands(text, config):
    check_display(tagmire.parse(text, config))


@given(TEXTS, CONFIGS, st.lists(st.integers(0, 200), max_size=6))
@settings(max_examples=100, deadline=None)
def test_a_streams_runs_display_by_their_own_positions(text, config, cuts):
    stream = tagmire.StreamParser(config)
    bounds = sorted({0, len(text), *(c for c in cuts if c <= len(text))})
    for update in [stream.feed(text[a:b]) for a, b in zip(bounds, bounds[1:])] + [stream.close()]:
        for run in (update.committed, update.pending, *update.revised):
            check_display(run)


@pytest.mark.parametrize("family", hostile_families.FAMILIES, ids=lambda family: family.name)
def test_hostile_families_display_as_they_parse(family):
    check_display(tagmire.parse(family.make(4000), family.config.build()))


def test_data_stays_text_in_the_page_and_in_its_tooltips():
    text = '<note k="a b" q=\'"<i onload=x\' bare>1 < 2 & <b>x</b></note><cite src="&amp;"/>'
    page = tagmire.parse(text, Config(unknown_mode="passthrough"))._repr_html_()
    drawn = Drawn(page)
    assert "<i " not in page and "<b>" not in page
    assert drawn.text == "1 < 2 & <b>x</b>"
    assert drawn.stretches == [["1 < 2 & <b>x</b>", "note", 'note k="a b" q="\\"<i onload=x" bare']]
    assert drawn.markers == [[16, "\u25c6cite", 'cite src="&amp;"']]


def test_a_tag_has_one_colour_in_every_answer_whatever_its_case():
    first = tagmire.parse("<note>a</note> <cite src=x>b</cite>")._repr_html_()
    second = tagmire.parse("<Cite>b</Cite> <todo>c</todo> <NOTE>a</NOTE>")._repr_html_()

    def colour(page, text):
        return page.split(f">{text}</mark>")[0].rsplit("background:", 1)[1].split(";")[0]

    assert colour(first, "a") == colour(second, "a")
    assert colour(first, "b") == colour(second, "b")
    assert len({colour(first, "a"), colour(first, "b"), colour(second, "c")}) == 3


def test_the_display_holds_no_reference_and_passes_on_the_renderers_error(monkeypatch):
    from tagmire import _html

    result = tagmire.parse("Alpha<cite src=a/> <note>beta</note>")
    assert leaks(result._repr_html_, [result, _html, _html.render], repetitions=100) == {}

    def fail(_):
        raise ValueError("no display")

    monkeypatch.setattr(_html, "render", fail)
    with pytest.raises(ValueError, match="no display"):
        result._repr_html_()
    assert leaks(lambda: pytest.raises(ValueError, result._repr_html_), [result, _html], repetitions=100) == {}
