"""A griffe extension of the documentation build (mkdocs.yml): every public
name of a package that the API reference documents must have a docstring.

Public here means what a user reaches: the package itself, the names its
`__all__` lists (where they are defined, which for `tagmire` is a private
submodule), and the methods and properties of those classes whose names do
not start with an underscore. A class's fields are described by the class's
own docstring, and special methods by what they do for the class, so
neither is asked for one. A public name defined in another package (the
`_tagmire_rs` objects that `tagmire` re-exports) is checked with that
package.

Each name without a docstring is logged as a warning; mkdocstrings routes
griffe's warnings into MkDocs' log, so `mkdocs build --strict` fails.
"""

from __future__ import annotations

from collections.abc import Iterator
from typing import Any

import griffe

logger = griffe.get_logger(__name__)


def undocumented(package: griffe.Object) -> Iterator[str]:
    """The paths of the public objects of `package` that have no docstring."""
    if not package.docstring:
        yield package.path
    for member in package.members.values():
        if not member.is_public:
            continue
        try:
            target = member.final_target if member.is_alias else member
        except griffe.AliasResolutionError:
            continue  # defined in a package that is not loaded: checked there
        if target.package is not package.package:
            continue
        yield from _undocumented_object(target, member.path)


def _undocumented_object(target: Any, shown_as: str) -> Iterator[str]:
    if target.is_attribute and "property" not in target.labels:
        return
    if not target.docstring:
        yield shown_as
    if target.is_class:
        for name, member in target.members.items():
            if name.startswith("_") or member.is_alias:
                continue
            yield from _undocumented_object(member, f"{shown_as}.{name}")


class PublicDocstrings(griffe.Extension):
    """Warns about every public name of a loaded package without a docstring."""

    def on_package(self, *, pkg: griffe.Module, loader: griffe.GriffeLoader, **kwargs: Any) -> None:
        for path in undocumented(pkg):
            logger.warning(f"{path} has no docstring: every public name of the API reference needs one")
