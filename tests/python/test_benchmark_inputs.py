"""The inputs the benchmarks share with the tests (inputs/): the three str
forms of the llm corpus, the sizes of the hostile families, and the inputs
whose output is quadratic by definition."""

import re

import pytest

from _tagmire_rs import parse
from inputs import corpora, hostile_families

# The tags the generator writes. A literal `<` in a comparison reads up to
# the next `>` across prose that differs between the forms, so only these
# are compared.
TAG = re.compile(r"</?(?:cite|note|claim|todo|risk|b|i|em|br|p)\b[^<>]*>", re.IGNORECASE)


@pytest.mark.parametrize("size", [100, 1000, 1024, 5000, 70_000])
def test_llm_forms_are_stored_at_their_width_and_differ_only_in_non_ascii(size):
    forms = {form: corpora.corpus(form, size) for form in corpora.FORMS}
    assert {form: corpora.width(text) for form, text in forms.items()} == {
        "llm-ascii": 1, "llm-2byte": 2, "llm-4byte": 4}
    assert all(len(text.encode()) <= size for text in forms.values())
    # The same answers: the same tags in the same order, as far as the
    # shortest form goes (each is cut at `size` UTF-8 bytes).
    tags = [TAG.findall(text) for text in forms.values()]
    common = min(map(len, tags))
    assert common > 0 and tags[0][:common] == tags[1][:common] == tags[2][:common]
    # 2-byte replaces only characters above U+FFFF, one for one.
    two, four = forms["llm-2byte"], forms["llm-4byte"]
    n = min(len(two), len(four))
    assert all(a == b or ord(b) > 0xFFFF for a, b in zip(two[:n], four[:n]))


@pytest.mark.parametrize("family", hostile_families.FAMILIES, ids=lambda f: f.name)
@pytest.mark.parametrize("size", [0, 1, 4096, 100_000])
def test_hostile_families_are_about_the_size_asked_for(family, size):
    built = len(family.make(size).encode())
    assert size <= built + 8 and built <= size + 256


@pytest.mark.parametrize("family", [f for f, _ in hostile_families.QUADRATIC_OUTPUT], ids=lambda f: f.name)
def test_quadratic_output_inputs_nest_every_span(family):
    # The benchmark leaves the annotations unread because of this: k spans,
    # each over every later (or earlier) x, give k(k+1)/2 or k(k-1)/2.
    text = family.make(2000)
    k = text.count("<")
    segments = parse(text, family.config.build()).segments
    assert [s.text for s in segments] == ["x"] * len(segments)
    total = sum(len(s.annotations) for s in segments)
    assert total in (k * (k + 1) // 2, k * (k - 1) // 2)


def test_quadratic_output_families_match_their_description():
    names = {f.name: (f, size) for f, size in hostile_families.QUADRATIC_OUTPUT}
    for name, k in (("nested_notes_20k", 20_000), ("nested_notes_40k", 40_000)):
        family, size = names[name]
        assert family.make(size) == "<note>x" * k
        assert (family.config.autoclose_on_any_tag, family.config.autoclose_on_same_tag) == (False, False)
    family, size = names["distinct_names_200k"]
    assert family.make(size) == "".join(f"<t{i}>x" for i in range(200_000))
    assert (family.config.autoclose_on_any_tag, family.config.autoclose_on_same_tag) == (False, True)

