"""The parser as a DuckDB function:

    import duckdb
    import tagmire.duckdb

    connection = duckdb.connect()
    tagmire.duckdb.register(connection)
    connection.sql("SELECT tagmire_parse(answer).text FROM 'answers.parquet'")

The function takes a VARCHAR and returns a STRUCT of `text`, `segments`
and `markers`, parse_batch's columns, a whole vector of answers at a time.
"""

from __future__ import annotations

from typing import Any

import _tagmire_rs
import duckdb

from tagmire._batch import _pyarrow, output_schema, parse_batch
from tagmire._config import Config
from tagmire._frames import parsed_structs


def _duckdb_type(data_type: Any) -> Any:
    """The DuckDB type of an Arrow type of the parser's output."""
    pa = _pyarrow()
    if pa.types.is_struct(data_type):
        return duckdb.struct_type({field.name: _duckdb_type(field.type) for field in data_type})
    if pa.types.is_map(data_type):
        return duckdb.map_type(_duckdb_type(data_type.key_type), _duckdb_type(data_type.item_type))
    if pa.types.is_large_list(data_type) or pa.types.is_list(data_type):
        return duckdb.list_type(_duckdb_type(data_type.value_type))
    if pa.types.is_int64(data_type):
        return duckdb.sqltype("BIGINT")
    if pa.types.is_large_string(data_type) or pa.types.is_string(data_type):
        return duckdb.sqltype("VARCHAR")
    raise TypeError(f"no DuckDB type for the parser's {data_type}")


def parsed_type() -> Any:
    """The DuckDB type that the function returns."""
    return _duckdb_type(_pyarrow().struct(list(output_schema())))


def register(connection: duckdb.DuckDBPyConnection, name: str = "tagmire_parse",
             config: Config | _tagmire_rs.ParserConfig | None = None, *, threads: int | None = None,
             errors: str = "strict") -> None:
    """Registers `name(answer VARCHAR)` on `connection`: the answer parsed
    with `config`, as a STRUCT(text, segments, markers); NULL for NULL."""
    # DuckDB counts the function's parameters: one, the answers.
    def parsed(answers: Any) -> Any:
        return parsed_structs(parse_batch(answers, config, threads=threads, errors=errors))

    connection.create_function(name, parsed, [duckdb.sqltype("VARCHAR")], parsed_type(),  # type: ignore[call-overload, unused-ignore]
                               type="arrow", null_handling="special")
