"""A result costs what its input does. Deeply nested spans that stay open
(auto-close off) cover each segment many times over; the result must still
be made, and its segments listed, within memory a small multiple of the
input, with each segment's annotations found when that segment is read.
The inputs here once took gigabytes; the child process runs under an
address-space limit, so going back to that fails with MemoryError."""

import json
import textwrap

from conftest import needs_address_space_limit, run_python

pytestmark = needs_address_space_limit

CHILD = textwrap.dedent(
    """
    import json, sys
    from _tagmire_rs import ParserConfig, parse
    from conftest import limit_address_space

    case, k = sys.argv[1], int(sys.argv[2])
    config = ParserConfig()
    config.set_autoclose_on_any_tag(False)
    if case == "nested":
        config.set_autoclose_on_same_tag(False)
        text = "<note>x" * k
    else:
        # k distinct names opened in turn, each recovering backwards at the end.
        config.set_recognized_tags([f"t{i}" for i in range(k)])
        text = "".join(f"<t{i}>x" for i in range(k))
    limit_address_space(256 << 20)
    result = parse(text, config)
    segments = result.segments
    print(json.dumps({
        "text": len(result.text),
        "markers": len(result.markers),
        "segments": len(segments),
        "middle": [a.tag for a in segments[len(segments) // 2].annotations][:3],
        "middle_count": len(segments[len(segments) // 2].annotations),
        "last_count": len(segments[-1].annotations),
    }))
    """
)


def run(case, k):
    return json.loads(run_python(CHILD, case, str(k), timeout=300))


def test_nested_spans_that_stay_open_cost_what_their_input_does():
    # 40,000 nested spans: the segments' lists would add up to 800 million.
    k = 40_000
    seen = run("nested", k)
    assert (seen["text"], seen["segments"], seen["markers"]) == (k, k, 0)
    # Segment i lies inside the spans of every note opened before it; the
    # innermost closes first, so it is listed first.
    assert seen["middle_count"] == k // 2 + 1
    assert seen["middle"] == ["note"] * 3
    assert seen["last_count"] == k


def test_many_distinct_names_opened_in_turn_cost_what_their_input_does():
    k = 50_000
    seen = run("names", k)
    assert (seen["text"], seen["segments"]) == (k, k)
    # Name i covers the text before it: segment j lies in the spans of every
    # later name, recorded from the last opened down.
    assert seen["middle"] == [f"t{k - 1}", f"t{k - 2}", f"t{k - 3}"]
    assert seen["middle_count"] == k - 1 - k // 2
    assert seen["last_count"] == 0
