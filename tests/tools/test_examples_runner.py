"""How the examples of the Markdown pages run (conftest.py, under
pytest-codeblocks): a shell block fails on any failing command, `python`
and the installed scripts are those of the interpreter under test, a
block's `pip install .` builds in the test environment (where the kept
build folder stays valid) and its strict options stay its own, what a block leaves in the checkout is removed,
and a block needing a missing package skips with its reason."""

import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

pytest.importorskip("pytest_codeblocks")

ROOT = Path(__file__).resolve().parents[2]
LEFTOVER = "leftover-of-an-example.txt"

PAGE = textwrap.dedent(
    f"""\
    A block whose middle command fails:

    ```bash
    ls no-such-file-here
    echo "the last command succeeds"
    ```

    ```bash
    python -c "import sys; print(sys.executable)" > "$OUT/python"
    command -v tagmire > "$OUT/tagmire"
    python -c "from pip._internal.commands import create_command
    print(bool(create_command('install').parse_args(['.'])[0].build_isolation))" > "$OUT/isolated"
    bash -c 'echo "${{NOT_SET_ANYWHERE}}started"' > "$OUT/child"
    echo kept > {LEFTOVER}
    ```

    <!--pytest-codeblocks:importorskip(no_such_module_here)-->
    ```python
    import no_such_module_here
    ```
    """
)


def test_examples_run_as_a_user_of_the_checkout_would_run_them(tmp_path):
    page = tmp_path / "page.md"
    page.write_text(PAGE, encoding="utf-8")
    out = tmp_path / "out"
    out.mkdir()
    try:
        # The repository's conftest.py as a plugin, with nothing else of the
        # repository's pytest configuration.
        completed = subprocess.run(
            [sys.executable, "-m", "pytest", "-p", "conftest", "--codeblocks", "-p", "no:cacheprovider", "-rfs",
             "--rootdir", str(tmp_path), "-c", os.devnull, str(page)],
            capture_output=True, text=True, cwd=tmp_path, timeout=300, check=False,
            env=dict(os.environ, PYTHONPATH=str(ROOT), OUT=str(out)),
        )
        left = (ROOT / LEFTOVER).exists()
    finally:
        (ROOT / LEFTOVER).unlink(missing_ok=True)
    report = completed.stdout
    assert "1 failed, 1 passed, 1 skipped" in report, report
    assert "FAILED page.md::line 3" in report, report
    assert "exit status 2" in report and "no-such-file-here" in report, report
    assert "needs no_such_module_here, which is not installed here" in report, report
    assert (out / "python").read_text().strip() == sys.executable
    scripts = Path(subprocess.run([sys.executable, "-c", "import sysconfig; print(sysconfig.get_path('scripts'))"],
                                  capture_output=True, text=True, check=True).stdout.strip())
    assert Path((out / "tagmire").read_text().strip()) == scripts / "tagmire"
    # A script the block starts is not held to the block's strict options.
    assert (out / "child").read_text().strip() == "started"
    # pip reads the option as the block's pip would.
    assert (out / "isolated").read_text().strip() == "False"
    assert not left
