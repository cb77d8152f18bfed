#!/usr/bin/env bash
# CI: the documentation site, built strictly into build/site (an artifact;
# nothing is published). It needs the docs extra of pyproject.toml only, in
# a virtual environment of its own: the build reads the sources and the
# stub, and imports neither. First the checks of the build itself: that a
# broken link or a missing docstring does fail it.
#
#   PYTHON=python3.11 bash tools/ci_docs.sh
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore

venv=build/venv-docs
[ -x "$venv/bin/python" ] || "$PYTHON" -m venv "$venv"
mapfile -t requirements < <("$venv/bin/python" tools/requirements.py docs)
"$venv/bin/python" -m pip install -q "${requirements[@]}" "pytest>=8"

"$venv/bin/python" -m pytest -q -p no:cacheprovider tests/tools/test_docs_site.py
"$venv/bin/python" -m mkdocs build --strict
echo "the site is in build/site"
