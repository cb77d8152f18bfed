"""A column of a Spark DataFrame parsed on Spark's executors, by the same
native batch parser as in one process, through `mapInArrow`:

    import tagmire.spark

    parsed = tagmire.spark.parse_column(frame, "answer", tagmire.Config.cite())

Needs pyspark (`pip install "tagmire[spark]"`) and the Java it runs on.
"""

from __future__ import annotations

from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any

import _tagmire_rs

from tagmire._batch import MAX_OUTPUT_RATIO, ColumnClash, _pyarrow, output_schema, parsed_names
from tagmire._config import Config
from tagmire._frames import parse_frame


def _spark_type(data_type: Any) -> Any:
    """The Spark type of an Arrow type of the parser's output."""
    from pyspark.sql import types  # type: ignore[import-not-found, unused-ignore]

    pa = _pyarrow()
    if pa.types.is_struct(data_type):
        return types.StructType([types.StructField(f.name, _spark_type(f.type), f.nullable) for f in data_type])
    if pa.types.is_map(data_type):
        return types.MapType(_spark_type(data_type.key_type), _spark_type(data_type.item_type), True)
    if pa.types.is_large_list(data_type) or pa.types.is_list(data_type):
        return types.ArrayType(_spark_type(data_type.value_type), True)
    if pa.types.is_int64(data_type):
        return types.LongType()
    if pa.types.is_large_string(data_type) or pa.types.is_string(data_type):
        return types.StringType()
    raise TypeError(f"no Spark type for the parser's {data_type}")


def _small_types(data_type: Any) -> Any:
    """An Arrow type with 32-bit offsets, which Spark reads by default."""
    pa = _pyarrow()
    if pa.types.is_struct(data_type):
        return pa.struct([f.with_type(_small_types(f.type)) for f in data_type])
    if pa.types.is_map(data_type):
        return pa.map_(data_type.key_field.with_type(_small_types(data_type.key_type)),
                       data_type.item_field.with_type(_small_types(data_type.item_type)))
    if pa.types.is_large_list(data_type):
        return pa.list_(data_type.value_field.with_type(_small_types(data_type.value_type)))
    if pa.types.is_large_string(data_type):
        return pa.string()
    return data_type


@dataclass(frozen=True)
class _ParseBatches:
    """What each executor runs: Arrow record batches in, the same with the
    parsed columns added. Pickled with its Config."""

    column: str
    config: Config | None = None
    prefix: str = "parsed_"
    errors: str = "strict"
    threads: int | None = 1
    form: str = "segments"
    max_output_ratio: int | None = MAX_OUTPUT_RATIO

    def __call__(self, batches: Iterator[Any]) -> Iterator[Any]:
        pa = _pyarrow()
        for batch in batches:
            table = parse_frame(pa.Table.from_batches([batch]), self.column, self.config, prefix=self.prefix,
                                threads=self.threads, errors=self.errors, form=self.form,
                                max_output_ratio=self.max_output_ratio)
            parsed = set(parsed_names(self.prefix, self.form))
            table = table.cast(pa.schema([f.with_type(_small_types(f.type)) if f.name in parsed else f
                                          for f in table.schema]))
            yield from table.to_batches()


def parse_column(frame: Any, column: str = "text", config: Config | _tagmire_rs.ParserConfig | None = None, *,
                 prefix: str = "parsed_", errors: str = "strict", threads: int | None = 1, form: str = "segments",
                 max_output_ratio: int | None = MAX_OUTPUT_RATIO) -> Any:
    """`frame` (a pyspark DataFrame) with the parsed columns of `column`
    added after its own, as tagmire.parse_frame adds them: `parsed_text`,
    `parsed_segments` (`parsed_spans` with `form="spans"`), `parsed_markers`
    under the default `prefix`; `attrs` are Spark maps.
    `column` may be a dotted path into a struct column. Each Spark task
    parses on `threads` native threads (one: Spark gives each task a core).
    """
    from pyspark.sql import types  # type: ignore[import-not-found, unused-ignore]

    if isinstance(config, _tagmire_rs.ParserConfig):
        raise TypeError("config must be a tagmire.Config here: a ParserConfig cannot be sent to executors")
    for name in parsed_names(prefix, form):
        if name in frame.columns:
            raise ColumnClash(f"column {name!r}: the parsed column of that name would replace the frame's; "
                              "another prefix renames the parsed columns", name, "parsed")
    schema = types.StructType(list(frame.schema.fields) + [
        types.StructField(name, _spark_type(arrow.type), True)
        for name, arrow in zip(parsed_names(prefix, form), output_schema(form))])
    return frame.mapInArrow(_ParseBatches(column, config, prefix, errors, threads, form, max_output_ratio), schema)
