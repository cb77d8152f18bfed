"""Every level of vector code, chosen through TAGMIRE_SIMD in a fresh
process (the level is chosen once, at the first parse), gives the module's
results that the best level gives: on every hostile family and on every
str form of the model answers, in one-shot parses, batches and streams.
A name that is no level's, or one the processor lacks, still parses."""

import os
import subprocess
import sys

import pytest

DIGEST = r"""
import hashlib, json, sys
from _tagmire_rs import parse
from inputs import corpora, hostile_families

digest = hashlib.sha256()
def add(result):
    segments = [(s.text, [(a.tag, a.attrs) for a in s.annotations]) for s in result.segments]
    markers = [(m.annotation.tag, m.annotation.attrs, m.pos) for m in result.markers]
    digest.update(json.dumps([result.text, segments, markers], sort_keys=True).encode())

for family in hostile_families.FAMILIES:
    add(parse(family.make(1 << 13), family.config.build()))
for form in corpora.FORMS:
    for size in (100, 5000, 1 << 15):
        add(parse(corpora.llm(size, form)))
try:
    import pyarrow
    from tagmire import parse_batch
except ImportError:
    pass
else:
    texts = [corpora.llm(700, form, seed) for form in corpora.FORMS for seed in range(8)]
    digest.update(repr(parse_batch(pyarrow.array(texts)).to_pylist()).encode())
import tagmire
for form in corpora.FORMS:
    text = corpora.llm(9000, form)
    pieces = [text[i:i + 97] for i in range(0, len(text), 97)]
    digest.update(repr(list(tagmire.stream(pieces, preview=False))).encode())
print(digest.hexdigest())
"""

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def digest_at(level):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([ROOT, os.environ.get("PYTHONPATH", "")]))
    env.pop("TAGMIRE_SIMD", None)
    if level is not None:
        env["TAGMIRE_SIMD"] = level
    completed = subprocess.run([sys.executable, "-c", DIGEST], capture_output=True, text=True, env=env,
                               cwd=ROOT, timeout=600, check=False)
    assert completed.returncode == 0, completed.stderr
    return completed.stdout.strip()


@pytest.fixture(scope="module")
def best():
    return digest_at(None)


@pytest.mark.parametrize("level", ["plain", "sse2", "avx2", "neon", "no-such-level"])
def test_every_level_parses_as_the_best_one(best, level):
    assert digest_at(level) == best
