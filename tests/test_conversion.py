"""Results to pandas through Arrow (the dtypes and values DuckDB's df() gives),
and query_arrow() on the query layer and the manager."""

import asyncio
from unittest import mock

import duckdb
import numpy as np
import pandas as pd
import pyarrow as pa
import pytest

from brindle.errors import BrindleError, BrindleNotFoundError
from brindle.lookout import CacheQuery
from manager_support import frame, make_manager  # noqa: F401


def all_types_columns():
    with duckdb.connect() as c:
        return [row[0] for row in c.execute("DESCRIBE SELECT * FROM test_all_types()").fetchall()]


def assert_same_as_df(con, sql):
    """CacheQuery's frame of `sql` against df()'s, column by column: dtype and values."""
    expected = con.cursor().execute(sql).df()
    got = CacheQuery().execute_sql(con, sql)
    assert list(got.columns) == list(expected.columns)
    pd.testing.assert_frame_equal(got, expected, check_exact=True)


@pytest.mark.parametrize("column", all_types_columns())
def test_every_duckdb_type_converts_as_df_does(con, column):
    sql = f'SELECT "{column}" FROM test_all_types()'
    try:
        con.cursor().execute(sql).df()
    except duckdb.Error:
        # df() refuses this type or these values; so must we.
        with pytest.raises(BrindleError):
            CacheQuery().execute_sql(con, sql)
        return
    assert_same_as_df(con, sql)


@pytest.fixture
def mixed(con):
    """300,000 rows (three Arrow batches) of every type the Arrow route mends."""
    con.execute("CREATE TYPE mood AS ENUM ('sad', 'ok', 'happy')")
    con.execute("""
        CREATE TABLE mixed AS SELECT i, i::TINYINT AS tiny, i::UBIGINT AS ubig, (i % 2 = 0) AS flag,
            i::DOUBLE AS f, i::FLOAT AS f32, 'name' || i::VARCHAR AS s,
            TIMESTAMP '2020-01-01' + to_seconds(i) AS ts, TIMESTAMPTZ '2020-01-01 00:00:00+03' + to_seconds(i) AS tz,
            DATE '2020-01-01' + i::INT AS d, (['sad', 'ok', 'happy'][1 + i % 3])::mood AS m,
            (i / 7)::DECIMAL(4, 3) AS dec4, (i / 7)::DECIMAL(15, 2) AS dec15, (-i / 7)::DECIMAL(18, 6) AS dec18
        FROM (SELECT (range % 9)::BIGINT AS i FROM range(300000))""")
    return con


NULLED = ("SELECT " + ", ".join(
    f"CASE WHEN i = 3 THEN NULL ELSE {c} END AS {c}"
    for c in ["i", "tiny", "ubig", "flag", "f", "f32", "s", "ts", "tz", "d", "m", "dec4", "dec15", "dec18"])
    + " FROM mixed")


@pytest.mark.parametrize("sql", [
    "SELECT * FROM mixed",
    NULLED,                                        # some NULLs: nullable Int*/boolean
    NULLED + " WHERE i = 3",                       # nothing but NULLs: object VARCHAR
    NULLED + " WHERE false",                       # no rows: the enum keeps its categories
    NULLED + " WHERE i = 3 OR rowid > 250000",     # NULLs only in the first batches
    "SELECT i, i, I FROM mixed LIMIT 3",           # df() renames repeated names
    "CREATE TABLE IF NOT EXISTS other (a INTEGER)",
    "SELECT 1 AS \"x y\", NULL AS n",
], ids=["plain", "nulls", "all-null", "empty", "nulls-first", "repeated-names", "no-rows-statement", "odd"])
def test_results_convert_as_df_does(mixed, sql):
    assert_same_as_df(mixed, sql)


@pytest.mark.parametrize("limit", [5, 5000, None])  # df() below the Arrow route's threshold, Arrow above
def test_query_converts_as_df_does_whatever_its_limit(mixed, limit):
    expected = mixed.cursor().execute("SELECT * FROM mixed" + (f" LIMIT {limit}" if limit else "")).df()
    pd.testing.assert_frame_equal(CacheQuery().query(mixed, "mixed", limit=limit), expected, check_exact=True)


@pytest.mark.parametrize("setting", [
    "TimeZone = 'America/New_York'",
    "arrow_output_version = '1.5'",          # DECIMALs of 32 and 64 bits
    "produce_arrow_string_view = true",
    "arrow_lossless_conversion = true",
])
def test_settings_of_the_connection_change_nothing(mixed, setting):
    mixed.execute(f"SET GLOBAL {setting}")
    # A text of its own per setting: a text asked before would be converted
    # by the size of its last answer.
    assert_same_as_df(mixed, NULLED + f" LIMIT 1000 -- {setting}")


def test_a_question_whose_answers_change_size_converts_as_df_does_each_time(mixed):
    # The first answer goes through Arrow, later ones by the size of the one before.
    for rows in [5, 5000, 5, 5000]:
        sql = f"SELECT * FROM mixed WHERE rowid < {rows}"
        expected = mixed.cursor().execute(sql).df()
        got = CacheQuery().query(mixed, "mixed", sql_where="rowid < ?", params=[rows])
        pd.testing.assert_frame_equal(got, expected, check_exact=True)


def test_frames_are_the_callers_to_change(mixed):
    got = CacheQuery().query(mixed, "mixed", columns=["i", "f", "d"], limit=5)
    got.iloc[0, 0] = 99
    got["f"] += 1
    assert got.iloc[0, 0] == 99 and got["f"].tolist() == (mixed.execute("SELECT f + 1 FROM mixed LIMIT 5")
                                                          .fetchnumpy()["(f + 1)"].tolist())


@pytest.fixture
def sales(con):
    con.execute("CREATE TABLE sales AS SELECT range AS id, range * 1.5 AS amount FROM range(10)")
    return con


def test_query_arrow_returns_duckdbs_arrow_table(sales):
    got = CacheQuery().query_arrow(sales, "sales", sql_where="id > ?", columns=["id", "amount"], limit=3,
                                   params=[5])
    assert isinstance(got, pa.Table)
    assert got.equals(sales.sql("SELECT id, amount FROM sales WHERE id > 5 LIMIT 3").to_arrow_table())


@pytest.mark.parametrize("table, where, error, message", [
    ("missing", None, BrindleNotFoundError, "Table 'missing' not found in cache"),
    ("sales", "no_such_column > 1", BrindleError, "Query failed on table 'sales': "),
    ("sales", "id > 1; DROP TABLE sales", BrindleError, "Query failed on table 'sales': the WHERE text"),
    ("bad name", None, BrindleError, "Invalid table name 'bad name'"),
])
def test_query_arrow_fails_as_query_does(sales, table, where, error, message):
    for method in (CacheQuery().query, CacheQuery().query_arrow):
        with pytest.raises(error) as err:
            method(sales, table, sql_where=where)
        assert type(err.value) is error and str(err.value).startswith(message)
    assert sales.execute("SELECT count(*) FROM sales").fetchone() == (10,)


def test_objects_that_are_no_duckdb_connection_are_asked_for_df():
    conn = mock.MagicMock(name="connection")
    conn.execute.return_value.df.return_value = pd.DataFrame({"a": [1, 2]})
    assert CacheQuery().query(conn, "t")["a"].tolist() == [1, 2]
    assert CacheQuery().query_arrow(conn, "t").to_pydict() == {"a": [1, 2]}


@pytest.mark.parametrize("mode", ["single_db", "per_table_db"])
def test_manager_query_arrow(make_manager, mode):
    m = make_manager(default_mode=mode, result_cache_bytes=1 << 20)
    m.store("db", "t", frame(5))
    for _ in range(4):
        got = m.query_arrow("db", "t", sql_where="id >= $low", columns=["id"], params={"low": 3})
        assert got.to_pydict() == {"id": [3, 4]}
    got = asyncio.run(m.aquery_arrow("db", "t", limit=2))
    assert isinstance(got, pa.Table) and got.num_rows == 2
    stats = next(s for s in m.stats() if s["table"] == "t")
    # Always DuckDB's answer: the result cache neither answers nor keeps it.
    assert (stats["queries"], stats["result_cache_hits"], stats["result_cache_misses"]) == (5, 0, 0)
    with pytest.raises(BrindleNotFoundError, match="^Table db.missing not found in cache$"):
        m.query_arrow("db", "missing")
    with pytest.raises(BrindleError, match="^Query failed on table 't'"):
        m.query_arrow("db", "t", sql_where="no_such_column > 1")
    assert m._ttl_registry.has_active_readers("db", "t") is False
    m.invalidate("db", "t")
    with pytest.raises(BrindleNotFoundError):
        m.query_arrow("db", "t")

