"""The `tagmire` namespace of Polars expressions, registered when this
module is imported:

    import polars as pl
    import tagmire.polars  # noqa: F401

    frame.with_columns(pl.col("answer").tagmire.parse().alias("parsed"))

`parse()` gives one struct per answer, whose fields `text`, `segments` and
`markers` are parse_batch's columns; `.struct.unnest()` spreads them out.
"""

from __future__ import annotations

import functools
from typing import Any

import polars as pl
import _tagmire_rs

from tagmire._batch import output_schema, parse_batch
from tagmire._config import Config
from tagmire._frames import parsed_structs


def parsed_dtype() -> Any:
    """The Polars type of a parsed answer: a struct of text, segments and markers."""
    return pl.DataFrame(output_schema().empty_table()).to_struct("parsed").dtype


def _parsed(answers: pl.Series, config: Any, threads: int | None, errors: str) -> pl.Series:
    table = parse_batch(answers.to_arrow(), config, threads=threads, errors=errors)
    return pl.Series(answers.name, parsed_structs(table), dtype=parsed_dtype())


@pl.api.register_expr_namespace("tagmire")
class TagmireExpressions:
    """`pl.col(...).tagmire`: the parser over a column of answers."""

    def __init__(self, expression: pl.Expr) -> None:
        self._expression = expression

    def parse(self, config: Config | _tagmire_rs.ParserConfig | None = None, *, threads: int | None = None,
              errors: str = "strict") -> pl.Expr:
        """Each answer parsed into a struct of `text`, `segments` and
        `markers`, as parse_batch gives them (a null answer, a null struct)."""
        return self._expression.map_batches(
            functools.partial(_parsed, config=config, threads=threads, errors=errors),
            return_dtype=parsed_dtype(), is_elementwise=True)
