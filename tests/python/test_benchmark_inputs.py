"""The benchmark's inputs and harness (bench/, on pytest's path): the three
str forms of the llm corpus, the sizes of the hostile families, the inputs
whose output is quadratic by definition, and the limited child process."""

import os
import re

import corpora
import hostile_families
import memory
import pytest

from _tagmire_rs import parse

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


def test_limited_child_reports_what_stopped_it():
    finished = memory.run_child({"family": "disjoint_spans", "bytes": 1000, "read": ["text", "segments"]})
    assert finished["finished"] and finished["text_bytes"] == 72 and finished["segments"] == 72
    # Building the input alone needs more than the limit.
    starved = memory.run_child({"family": "lt_without_gt", "bytes": 1 << 30, "read": []}, limit_bytes=512 << 20)
    assert not starved["finished"]
    # A sanitizer runtime preloaded into the child cannot start under the limit at all.
    assert starved["reason"].startswith("MemoryError after") or "LD_PRELOAD" in os.environ
    slow = memory.run_child({"family": "lt_without_gt", "bytes": 1 << 20, "read": []}, timeout=0.001)
    assert slow == {"finished": False, "reason": "still running after 0.001 s"}
