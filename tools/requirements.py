"""Prints the requirements that pyproject.toml names, one a line, for
`pip install`: the build's own (`build`) and those of each extra named.

    python tools/requirements.py build test ray
"""

import sys
import tomllib
from pathlib import Path


def requirements(names: list[str]) -> list[str]:
    with open(Path(__file__).resolve().parent.parent / "pyproject.toml", "rb") as file:
        project = tomllib.load(file)
    extras = project["project"]["optional-dependencies"]
    found = []
    for name in names:
        if name == "build":
            found += project["build-system"]["requires"]
        elif name in extras:
            found += extras[name]
        else:
            sys.exit(f"requirements.py: pyproject.toml has no extra {name!r} (it has {', '.join(extras)})")
    return list(dict.fromkeys(found))


if __name__ == "__main__":
    print(*requirements(sys.argv[1:]), sep="\n")
