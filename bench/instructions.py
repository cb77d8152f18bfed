"""Instructions per `<` of the parser core, as callgrind counts them.

The count does not depend on the machine's load, so a change of the walk can
be judged on a busy machine: callgrind runs `tagmire_instructions` (built with
the core benchmark under build/bench), which parses one corpus file `runs`
times in a function of its own, and only that function's instructions are
counted. Each corpus is the default configuration on its 64 KB file.

    python bench/instructions.py                        # llm forms and dense, 64 KB
    python bench/instructions.py --exe other/build/bench/tagmire_instructions
"""

from __future__ import annotations

import argparse
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path[:0] = [str(HERE), str(ROOT)]  # this folder, and the root for inputs/

from inputs import corpora  # noqa: E402

CORPORA = corpora.FORMS + ("dense",)
SIZE = 64 << 10
RUNS = 10
# At most this many instructions per `<`: every llm form, and dense.
TARGETS = {"llm": 250, "dense": 300}


def target(corpus: str) -> int:
    return TARGETS["dense" if corpus == "dense" else "llm"]


def count(exe: Path, path: Path, runs: int = RUNS) -> int:
    """Instructions of `runs` parses of the file at `path`."""
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp) / "callgrind.out"
        subprocess.run(["valgrind", "--tool=callgrind", "--toggle-collect=counted_parses",
                        f"--callgrind-out-file={out}", str(exe), str(path), str(runs)],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        totals = re.search(r"^(?:summary|totals):\s+(\d+)", out.read_text(), re.MULTILINE)
    if totals is None:
        raise RuntimeError(f"callgrind wrote no total for {path}")
    return int(totals.group(1))


def run(exe: Path, corpus_dir: Path, names: tuple[str, ...] = CORPORA, size: int = SIZE,
        runs: int = RUNS) -> dict[str, dict]:
    """{corpus: {"lt": `<` in the file, "instructions": per parse, "per_lt": ...}}."""
    if shutil.which("valgrind") is None:
        raise SystemExit("callgrind needs valgrind (tools/apt_install.sh valgrind)")
    results = {}
    for path, name in zip(corpora.write(corpus_dir, [size], names=names), names):
        lt = path.read_bytes().count(b"<")
        total = count(exe, path, runs)
        results[name] = {"lt": lt, "instructions": total / runs, "per_lt": total / runs / max(1, lt)}
    return results


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--exe", type=Path, default=ROOT / "build" / "bench" / "tagmire_instructions")
    parser.add_argument("--corpus-dir", type=Path, default=ROOT / "build" / "bench-corpora")
    parser.add_argument("--size", type=int, default=SIZE)
    args = parser.parse_args(argv)
    for name, r in run(args.exe, args.corpus_dir, size=args.size).items():
        print(f"{name:10} {r['lt']:6} `<`  {r['instructions']:12,.0f} instructions a parse  "
              f"{r['per_lt']:6.0f} per `<` (target {target(name)})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
