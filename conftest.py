"""How the examples of the Markdown pages run (tools/run_tests.sh runs
`pytest --codeblocks *.md docs`, collected by pytest-codeblocks): as a user
of the checkout would run them, from its root, against the installed
package.

- Shell blocks run under `set -euo pipefail` (through BASH_ENV, which every
  non-interactive bash reads), so a failing command fails the block and not
  only a failing last one, and a failure shows what the block printed;
  `python` is the interpreter under test, and the scripts it installed
  (`tagmire`) come first on PATH. A block's `pip install .` builds in the
  test environment, as tools/run_tests.sh's own install did, so that it
  finds the kept build folder as that left it and compiles nothing. Python
  blocks get the same PATH, and no strict mode for the scripts they start.
- What a block leaves at the root of the checkout (`answers.parquet`,
  `parsed/`) is removed after it, so that the checkout stays as it was.
- A Ray instance a block started is shut down after it; Ray's and
  pyspark's own deprecation warnings are not errors here, as in their tests.

The rest of the test suite is unaffected: these hooks act on code blocks only.
"""

import os
import shutil
import subprocess
import sys
import sysconfig
import tempfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent


def is_code_block(item):
    return type(item).__module__.startswith("pytest_codeblocks")


def pytest_collection_modifyitems(items):
    for item in items:
        if is_code_block(item):
            item.add_marker(pytest.mark.filterwarnings("ignore::DeprecationWarning:ray.*"))
            item.add_marker(pytest.mark.filterwarnings("ignore::FutureWarning:ray.*"))
            item.add_marker(pytest.mark.filterwarnings("ignore::FutureWarning:pyspark.*"))


def pytest_runtest_setup(item):
    # pytest-codeblocks skips a block whose importorskip module is missing,
    # but gives no reason; this says which.
    module = getattr(getattr(item, "obj", None), "importorskip", None) if is_code_block(item) else None
    if module:
        pytest.importorskip(module, reason=f"needs {module}, which is not installed here")


USER_SHELL = pytest.StashKey[dict]()


def user_shell(config):
    """The environment of a user's shell (PATH, BASH_ENV, pip's build isolation), made once per run."""
    if USER_SHELL not in config.stash:
        folder = Path(tempfile.mkdtemp(prefix="tagmire-user-shell-"))
        # A wrapper rather than a link: a link to a virtual environment's
        # interpreter would not find that environment.
        python = folder / "bin" / "python"
        python.parent.mkdir()
        python.write_text(f'#!/bin/sh\nexec "{sys.executable}" "$@"\n')
        python.chmod(0o755)
        strict = folder / "strict.sh"
        # Only the block's own shell: the bash scripts it starts (pyenv's
        # shims, say, which read unset variables) keep their own options.
        strict.write_text("set -euo pipefail\nunset BASH_ENV\n")
        path = os.pathsep.join([str(python.parent), sysconfig.get_path("scripts"), os.environ.get("PATH", "")])
        # pip reads a "no" option's variable the other way round: false
        # turns isolation off.
        env = {"PATH": path, "BASH_ENV": str(strict), "PIP_NO_BUILD_ISOLATION": "false"}
        config.stash[USER_SHELL] = {"folder": folder, "env": env}
    return config.stash[USER_SHELL]["env"]


def pytest_unconfigure(config):
    if USER_SHELL in config.stash:
        shutil.rmtree(config.stash[USER_SHELL]["folder"], ignore_errors=True)


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_call(item):
    if not is_code_block(item):
        yield
        return
    shell = dict(user_shell(item.config))
    if getattr(item.obj, "syntax", None) not in ("bash", "sh", "shell"):
        # Strict mode is for the block's own commands: the scripts a Python
        # block runs (pyspark's spark-submit) are not written for it.
        shell["BASH_ENV"] = ""
    saved = {name: os.environ.get(name) for name in shell}
    cwd = os.getcwd()
    before = set(os.listdir(ROOT))
    os.environ.update(shell)
    os.chdir(ROOT)
    try:
        outcome = yield
        error = outcome.excinfo[1] if outcome.excinfo else None
        if isinstance(error, subprocess.CalledProcessError):
            # The runner reports a failed shell block by its exit status
            # alone; what the commands printed says why.
            printed = "\n".join(stream.decode(errors="replace").rstrip()
                                 for stream in (error.stdout, error.stderr) if stream)
            outcome.force_exception(RuntimeError(f"{item.name}: exit status {error.returncode}\n{printed}"))
    finally:
        os.chdir(cwd)
        for name, value in saved.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value
        for name in set(os.listdir(ROOT)) - before:
            path = ROOT / name
            shutil.rmtree(path) if path.is_dir() and not path.is_symlink() else path.unlink()
        ray = sys.modules.get("ray")
        if ray is not None and ray.is_initialized():
            ray.shutdown()
