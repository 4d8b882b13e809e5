import inspect
import logging
from unittest import mock

import pandas as pd
import pytest

from brindle import lookout
from brindle.errors import BrindleError, BrindleNotFoundError
from brindle.lookout import CacheQuery
from brindle.stowage import CacheStore
from conftest import records_of, run_threads


class Text(str):
    pass


@pytest.fixture
def query():
    return CacheQuery()


@pytest.fixture
def sales(con):
    CacheStore().store(
        con,
        "sales_data",
        pd.DataFrame({"date": pd.date_range("2026-01-01", periods=6), "amount": [10, 1500, 2500, 999, 3000, 7]}),
        None,
    )
    return con


def recording_connection(error=None):
    conn = mock.MagicMock(name="connection")
    if error:
        conn.execute.side_effect = error
    conn.execute.return_value.df.return_value = pd.DataFrame({"a": [1, 2]})
    return conn


@pytest.mark.parametrize(
    "kwargs, statement",
    [
        ({}, "SELECT * FROM sales_data  "),
        ({"columns": [], "sql_where": "", "limit": 0}, "SELECT * FROM sales_data  "),
        ({"limit": 100}, "SELECT * FROM sales_data  LIMIT 100"),
        ({"limit": 10.7}, "SELECT * FROM sales_data  LIMIT 10"),
        ({"limit": -1}, "SELECT * FROM sales_data  LIMIT -1"),
        ({"sql_where": "amount > 1000"}, "SELECT * FROM sales_data WHERE amount > 1000 "),
        (
            {"columns": ["date", "amount"], "sql_where": "amount > 1000", "limit": 5},
            "SELECT date, amount FROM sales_data WHERE amount > 1000 LIMIT 5",
        ),
    ],
)
def test_statement_text(query, debug_logs, kwargs, statement):
    conn = recording_connection()
    result = query.query(conn, "sales_data", **kwargs)
    conn.execute.assert_called_once_with(statement)
    assert list(result["a"]) == [1, 2]
    assert records_of(debug_logs, "brindle.lookout") == [
        ("DEBUG", "Executing query: " + statement),
        ("INFO", "Query returned 2 rows from table 'sales_data'"),
    ]


def test_query_reads_rows(query, sales):
    df = query.query(sales, "sales_data", sql_where="amount > 1000", columns=["amount"], limit=2)
    assert list(df.columns) == ["amount"] and len(df) == 2
    assert len(query.query(sales, "sales_data")) == 6


@pytest.mark.parametrize(
    "table, where, error, message",
    [
        ("missing", None, BrindleNotFoundError, "Table 'missing' not found in cache"),
        ("sales_data", "no_such_column > 1", BrindleError, "Query failed on table 'sales_data': "),
        ("sales_data", "amount >", BrindleError, "Query failed on table 'sales_data': "),
    ],
)
def test_query_failures_are_classified_and_chained(query, sales, table, where, error, message):
    with pytest.raises(error) as err:
        query.query(sales, table, sql_where=where)
    assert type(err.value) is error
    assert str(err.value).startswith(message)
    assert err.value.__cause__ is not None
    if error is BrindleError:
        assert str(err.value) == message + str(err.value.__cause__)


def test_execute_sql(query, sales, debug_logs):
    df = query.execute_sql(sales, "SELECT SUM(amount) AS total FROM sales_data")
    assert df["total"][0] == 8016
    long_sql = "SELECT 1 AS x" + " " * 237
    query.execute_sql(sales, long_sql)
    logs = records_of(debug_logs, "brindle.lookout")
    assert ("DEBUG", "Executing raw SQL: SELECT SUM(amount) AS total FROM sales_data...") in logs
    assert ("DEBUG", "Executing raw SQL: " + long_sql[:100] + "...") in logs
    assert ("INFO", "Raw SQL query returned 1 rows") in logs


def test_execute_sql_failures_are_never_classified(query, sales, debug_logs):
    with pytest.raises(BrindleError) as err:
        query.execute_sql(sales, "")
    assert type(err.value) is BrindleError
    assert ("DEBUG", "Executing raw SQL: ...") in records_of(debug_logs, "brindle.lookout")
    with pytest.raises(BrindleError) as err:
        query.execute_sql(sales, "SELECT * FROM missing")
    assert type(err.value) is BrindleError
    assert str(err.value) == f"Raw SQL execution failed: {err.value.__cause__}"


def test_get_table_info(query, sales):
    info = query.get_table_info(sales, "sales_data")
    assert list(info) == ["row_count", "columns", "column_types"]
    assert info == {"row_count": 6, "columns": ["date", "amount"],
                    "column_types": {"date": "TIMESTAMP", "amount": "BIGINT"}}
    with pytest.raises(BrindleNotFoundError, match="Table 'nope' not found in cache") as err:
        query.get_table_info(sales, "nope")
    assert err.value.__cause__ is not None


def test_get_table_info_other_failure(query):
    conn = recording_connection(RuntimeError("disk on fire"))
    with pytest.raises(BrindleError) as err:
        query.get_table_info(conn, "t")
    assert str(err.value) == "Failed to get info for table 't': disk on fire"


@pytest.mark.parametrize(
    "kwargs",
    [
        {"table": None}, {"table": Text("t")}, {"columns": ("a",)}, {"columns": "a"},
        {"sql_where": 5}, {"sql_where": Text("x")}, {"limit": "5"}, {"limit": [1]},
    ],
)
def test_query_refuses_wrong_types_before_any_sql(query, kwargs):
    conn = recording_connection()
    args = {"connection": conn, "table": "t", **kwargs}
    with pytest.raises(TypeError):
        query.query(**args)
    conn.execute.assert_not_called()


def test_non_str_column_entry_fails_while_building(query):
    conn = recording_connection()
    with pytest.raises(TypeError):
        query.query(conn, "t", columns=["a", 1])
    conn.execute.assert_not_called()


@pytest.mark.parametrize("name", ["bad name", "t; DROP TABLE t", "9lives"])
def test_table_names_must_be_identifiers(query, name):
    conn = recording_connection()
    for call in (lambda: query.query(conn, name), lambda: query.get_table_info(conn, name)):
        with pytest.raises(BrindleError, match="Invalid table name"):
            call()
    conn.execute.assert_not_called()


def test_concurrent_queries_on_one_connection_get_their_own_rows(query, con):
    store = CacheStore()
    for i in range(4):
        store.store(con, f"t{i}", pd.DataFrame({"v": [i] * (1000 + i)}), None)
    problems = []

    def reader(i):
        for _ in range(40):
            df = query.query(con, f"t{i}")
            if len(df) != 1000 + i or set(df["v"]) != {i}:
                problems.append((i, len(df)))

    run_threads(4, reader)
    assert problems == []


def test_python_facing_shape():
    assert lookout.__doc__ == "Query operations for brindle - SQL filtering and data retrieval."
    assert CacheQuery.__doc__ == "Handles query operations on cached data."
    assert str(inspect.signature(CacheQuery.query)) == (
        "(self, connection: 'DuckDBPyConnection', table: 'str', sql_where: 'Optional[str]' = None, "
        "columns: 'Optional[List[str]]' = None, limit: 'Optional[int]' = None, "
        "*, params: 'Optional[Union[Sequence[Any], Dict[str, Any]]]' = None) -> 'pd.DataFrame'"
    )
    assert str(inspect.signature(CacheQuery().get_table_info)) == "(connection: 'DuckDBPyConnection', table: 'str') -> 'dict'"
    assert vars(CacheQuery()) == {"logger": logging.getLogger("brindle.lookout")}
    for name in ("logging", "Optional", "List", "TYPE_CHECKING", "pd", "BrindleError", "BrindleNotFoundError"):
        assert hasattr(lookout, name)


def test_errors_are_reached_through_the_module(query):
    class Replacement(Exception):
        pass

    with mock.patch("brindle.lookout.BrindleError", Replacement):
        with pytest.raises(Replacement):
            query.execute_sql(recording_connection(RuntimeError("x")), "SELECT 1")


def test_a_thread_sees_every_new_version_of_a_table(query, con):
    store = CacheStore()
    for n in (3, 5, 2):
        store.store(con, "t", pd.DataFrame({"v": range(n)}), None)
        assert len(query.query(con, "t")) == n
        assert query.get_table_info(con, "t")["row_count"] == n


def seeded_random():
    import duckdb

    other = duckdb.connect()
    other.execute("SELECT setseed(0.5)")
    return other.execute("SELECT random()").fetchone()[0]


# Free SQL that changes the session, and a SELECT that tells whether the
# change reached a later call of the same thread (the SELECTs reuse the
# thread's cursor), with what it answers when it did not.
@pytest.mark.parametrize(
    "sql, probe, untouched",
    [
        ("SET VARIABLE probe = 7", "SELECT getvariable('probe') AS v", None),
        ("SELECT 1; SET VARIABLE probe = 7", "SELECT getvariable('probe') AS v", None),
        ("CREATE TEMP TABLE scratch AS SELECT 1 AS x",
         "SELECT COUNT(*) AS v FROM duckdb_tables() WHERE table_name = 'scratch'", 0),
        ("ATTACH ':memory:' AS other; USE other", "SELECT current_database() AS v", "memory"),
        ("BEGIN TRANSACTION; SELECT COUNT(*) FROM t", "SELECT COUNT(*) AS v FROM t", 2),
        ("SELECT setseed(0.5) AS s", "SELECT random() AS v", "not seeded"),
    ],
)
def test_free_sql_leaves_no_session_state_behind(query, con, sql, probe, untouched):
    store = CacheStore()
    store.store(con, "t", pd.DataFrame({"v": [1]}), None)
    assert query.execute_sql(con, "SELECT ?::INT + 1 AS v", params=[41])["v"][0] == 42
    query.execute_sql(con, sql)
    store.store(con, "t", pd.DataFrame({"v": [1, 2]}), None)
    for _ in range(2):
        answer = query.execute_sql(con, probe)["v"][0]
        if untouched == "not seeded":
            assert answer != seeded_random()
        else:
            assert answer == untouched or (untouched is None and pd.isna(answer))
    assert query.execute_sql(con, "SELECT ?::INT + 1 AS v", params=[41])["v"][0] == 42
    with pytest.raises(BrindleNotFoundError):
        query.query(con, "scratch")
    assert len(query.query(con, "t")) == 2


def test_closed_and_collected_connections(query):
    import gc

    import duckdb

    for _ in range(3):
        conn = duckdb.connect()
        CacheStore().store(conn, "t", pd.DataFrame({"v": [1, 2]}), None)
        assert len(query.query(conn, "t")) == 2
        conn.close()
        with pytest.raises(BrindleError):
            query.query(conn, "t")
        del conn
        gc.collect()
    fresh = duckdb.connect()
    CacheStore().store(fresh, "t", pd.DataFrame({"v": [1, 2, 3]}), None)
    assert len(query.query(fresh, "t")) == 3



@pytest.mark.parametrize(
    "component, method, arg, answer",
    [
        (CacheQuery, "query", "orders", BrindleNotFoundError),
        (CacheQuery, "get_table_info", "orders", BrindleNotFoundError),
        (CacheQuery, "execute_sql", "SELECT * FROM orders", BrindleError),
        (CacheStore, "table_exists", "orders", False),
        (CacheStore, "get_row_count", "orders", 0),
        (CacheStore, "get_table_columns", "orders", []),
    ],
)
def test_a_dropped_table_is_not_answered_from_the_callers_variables(con, component, method, arg, answer):
    store = CacheStore()
    store.store(con, "orders", pd.DataFrame({"id": [1, 2, 3]}), None)
    # DuckDB looks a missing table's name up in the frame that calls into
    # brindle, so the call below must be made from this frame.
    orders = CacheQuery().query(con, "orders")  # noqa: F841
    store.drop_table(con, "orders", None)
    read = getattr(component(), method)
    if isinstance(answer, type):
        with pytest.raises(answer):
            read(con, arg)
    else:
        assert read(con, arg) == answer
    # The caller's own connection keeps its own setting.
    assert con.execute("SELECT current_setting('python_enable_replacements')").fetchone() == (True,)
