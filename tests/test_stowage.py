import logging
import threading
from unittest import mock

import pandas as pd
import pytest

from brindle import stowage
from brindle.errors import BrindleError
from brindle.stowage import CacheStore
from conftest import records_of, threads_running


class Text(str):
    """A str subclass: refused wherever a plain str is required."""


@pytest.fixture
def store():
    return CacheStore()


def frame(n=3, **extra):
    data = {"id": list(range(n)), "name": [f"n{i}" for i in range(n)]}
    data.update(extra)
    return pd.DataFrame(data)


def rows(con, table):
    return con.cursor().execute(f"SELECT * FROM {table} ORDER BY 1").fetchall()


def recording_connection(fail_on=None):
    """A stand-in connection that records statements and can fail on one."""
    conn = mock.MagicMock(name="connection")
    statements = []

    def execute(sql, *params):
        statements.append(sql)
        if fail_on and sql.startswith(fail_on):
            raise RuntimeError("boom: " + sql)
        return conn

    conn.execute.side_effect = execute
    return conn, statements


def test_store_logs_each_step_and_replaces_rows(store, con, debug_logs):
    store.store(con, "sales", frame(3), None)
    store.store(con, "sales", pd.DataFrame({"only": [7, 8]}), None)
    assert rows(con, "sales") == [(7,), (8,)]
    assert store.get_table_columns(con, "sales") == ["only"]
    assert records_of(debug_logs, "brindle.stowage")[-4:] == [
        ("DEBUG", "Creating temporary table 'sales~new' (2 rows)"),
        ("DEBUG", "Dropping existing table 'sales' if present"),
        ("DEBUG", "Renaming 'sales~new' to 'sales'"),
        ("INFO", "Successfully stored 2 rows in table 'sales'"),
    ]
    assert not store.table_exists(con, "sales~new")


def test_empty_frame_warns_then_stores(store, con, debug_logs):
    store.store(con, "empty", pd.DataFrame({"a": pd.Series([], dtype="int64"), "b": pd.Series([], dtype="str")}), None)
    assert ("WARNING", "Attempting to store empty DataFrame to table 'empty'") in records_of(debug_logs, "brindle.stowage")
    assert store.get_row_count(con, "empty") == 0
    assert store.get_table_columns(con, "empty") == ["a", "b"]


def test_frame_is_taken_from_the_argument_not_the_callers_variables(store, con):
    df = pd.DataFrame({"wrong": [1]})  # a caller's own `df` must never be stored instead
    store.store(con, "t", pd.DataFrame({"right": [1, 2]}), None)
    assert store.get_table_columns(con, "t") == ["right"]
    assert len(df) == 1


def failing_logger(prefix):
    """A logger whose record starting with `prefix` raises, to fail a store mid-way."""
    logger = mock.Mock()
    logger.isEnabledFor.return_value = True

    def emit(msg):
        if msg.startswith(prefix):
            raise RuntimeError("log failed")

    logger.debug.side_effect = logger.info.side_effect = emit
    return logger


@pytest.mark.parametrize(
    "failing_step, rows_after",
    [("Creating", 2), ("Dropping", 2), ("Renaming", 2), ("Successfully", 5)],
)
def test_failed_store_keeps_old_table_and_leaves_no_temporary(store, con, failing_step, rows_after):
    store.store(con, "t", frame(2), None)
    store.logger = failing_logger(failing_step)
    with pytest.raises(BrindleError) as err:
        store.store(con, "t", frame(5), None)
    assert str(err.value) == "Failed to store data in table 't': log failed"
    assert isinstance(err.value.__cause__, RuntimeError)
    # Up to the rename nothing is committed, so the old rows stand; a failure
    # after the commit (the final record) leaves the new rows in place.
    assert len(rows(con, "t")) == rows_after
    assert not store.table_exists(con, "t~new")
    # The failed store's cursor is not reused half-way: the next store works.
    store.logger = logging.getLogger("brindle.stowage")
    store.store(con, "u", frame(3), None)
    assert len(rows(con, "u")) == 3


def test_a_table_that_already_bears_the_temporary_name_is_not_destroyed(store, con):
    con.execute('CREATE TABLE "sales~new" AS SELECT 42 AS keep')
    with pytest.raises(BrindleError) as err:
        store.store(con, "sales", frame(2), None)
    assert "sales~new" in str(err.value.__cause__)
    assert rows(con, '"sales~new"') == [(42,)]


def test_readers_never_find_the_table_missing_while_it_is_restored(store, con):
    store.store(con, "hot", frame(10), None)
    failures, stop = [], threading.Event()

    def reader():
        cursor = con.cursor()
        while not stop.is_set():
            try:
                n = cursor.execute("SELECT COUNT(*) FROM hot").fetchone()[0]
                if n not in (10, 20):
                    failures.append(f"saw {n} rows")
            except Exception as exc:  # pragma: no cover - the failure being tested for
                failures.append(repr(exc))

    with threads_running(2, lambda i: reader()):
        try:
            for i in range(60):
                store.store(con, "hot", frame(10 if i % 2 else 20), None)
        finally:
            stop.set()
    assert failures == []


@pytest.mark.parametrize(
    "fail_on, statements",
    [
        ("CREATE", ['CREATE TABLE "t~new" AS SELECT * FROM "brindle~frame"', 'DROP TABLE IF EXISTS "t~new"']),
        ("ALTER", ['CREATE TABLE "t~new" AS SELECT * FROM "brindle~frame"', "DROP TABLE IF EXISTS t",
                   'ALTER TABLE "t~new" RENAME TO t', 'DROP TABLE IF EXISTS "t~new"']),
        (None, ['CREATE TABLE "t~new" AS SELECT * FROM "brindle~frame"', "DROP TABLE IF EXISTS t",
                'ALTER TABLE "t~new" RENAME TO t']),
    ],
)
def test_other_connection_objects_are_driven_statement_by_statement(store, fail_on, statements):
    conn, seen = recording_connection(fail_on)
    if fail_on:
        with pytest.raises(BrindleError) as err:
            store.store(conn, "t", frame(), None)
        assert isinstance(err.value.__cause__, RuntimeError)
    else:
        store.store(conn, "t", frame(), None)
    assert seen == statements


def test_inspections_on_other_connection_objects(store):
    conn, seen = recording_connection()
    conn.fetchone.side_effect = [(1,), (5,), None]
    conn.fetchall.return_value = [("a", "INTEGER"), ("b", "VARCHAR")]
    assert store.table_exists(conn, "t") is True
    assert store.get_row_count(conn, "t") == 5
    assert store.get_row_count(conn, "t") == 0
    assert store.get_table_columns(conn, "t") == ["a", "b"]
    assert seen[0] == "SELECT COUNT(*) FROM information_schema.tables WHERE table_name = ?"
    assert conn.execute.call_args_list[0].args[1] == ["t"]


def test_drop_table(store, con, debug_logs):
    store.drop_table(con, "missing", None)
    assert ("INFO", "Dropped table 'missing'") in records_of(debug_logs, "brindle.stowage")
    conn, _ = recording_connection(fail_on="DROP")
    with pytest.raises(BrindleError) as err:
        store.drop_table(conn, "t", None)
    assert str(err.value) == "Failed to drop table 't': boom: DROP TABLE IF EXISTS t"
    assert isinstance(err.value.__cause__, RuntimeError)


def test_inspections_of_a_missing_table(store, con, debug_logs):
    assert store.table_exists(con, "nope") is False
    assert store.get_row_count(con, "nope") == 0
    assert store.get_table_columns(con, "nope") == []
    assert records_of(debug_logs, "brindle.stowage") == []


def test_table_exists_logs_a_failing_check(store, debug_logs):
    conn, _ = recording_connection(fail_on="SELECT")
    assert store.table_exists(conn, "t") is False
    assert records_of(debug_logs, "brindle.stowage") == [
        ("ERROR", "Error checking if table 't' exists: boom: SELECT COUNT(*) FROM information_schema.tables WHERE table_name = ?")
    ]


@pytest.mark.parametrize("name", ["bad name", "t; DROP TABLE x", "1abc", "", "a.b"])
def test_names_that_are_not_identifiers_are_refused_before_any_statement(store, name):
    conn, seen = recording_connection()
    with pytest.raises(BrindleError, match="Invalid table name"):
        store.store(conn, name, frame(), None)
    with pytest.raises(BrindleError, match="Invalid table name"):
        store.drop_table(conn, name, None)
    assert store.get_row_count(conn, name) == 0
    assert store.get_table_columns(conn, name) == []
    assert seen == []


@pytest.mark.parametrize("bad", [None, Text("t"), 5])
@pytest.mark.parametrize(
    "method, args",
    [("store", (frame(), None)), ("drop_table", (None,)), ("table_exists", ()),
     ("get_row_count", ()), ("get_table_columns", ())],
)
def test_table_must_be_exactly_str(store, bad, method, args):
    conn, seen = recording_connection()
    with pytest.raises(TypeError):
        getattr(store, method)(conn, bad, *args)
    assert seen == []


def test_python_facing_shape():
    import inspect

    assert stowage.__doc__ == "Storage operations for brindle - atomic writes and table management."
    assert CacheStore.__doc__ == "Handles storage operations with atomic swap guarantees."
    assert CacheStore.__bases__ == (object,)
    assert str(inspect.signature(CacheStore.store)) == (
        "(self, connection: 'DuckDBPyConnection', table: 'str', df: 'pd.DataFrame', lock: 'threading.Lock')"
    )
    assert str(inspect.signature(CacheStore().get_table_columns)) == (
        "(connection: 'DuckDBPyConnection', table: 'str') -> 'list[str]'"
    )
    assert CacheStore.table_exists.__annotations__ == {"connection": "DuckDBPyConnection", "table": "str", "return": "bool"}
    assert vars(CacheStore()).keys() == {"logger"}
    for name in ("logging", "threading", "duckdb", "pd", "BrindleError"):
        assert hasattr(stowage, name)


def test_store_reaches_duckdb_through_the_module_attribute(store, con):
    # With the module's duckdb name replaced, a real connection is no longer
    # recognised and is driven statement by statement.
    with mock.patch("brindle.stowage.duckdb", mock.Mock()):
        conn, seen = recording_connection()
        store.store(conn, "t", frame(2), None)
    assert seen[0] == 'CREATE TABLE "t~new" AS SELECT * FROM "brindle~frame"'


def test_keyword_arguments(store, con):
    store.store(df=frame(4), lock=None, table="kw", connection=con)
    assert store.get_row_count(table="kw", connection=con) == 4
    with pytest.raises(TypeError, match="unexpected keyword argument 'tabel'"):
        store.get_row_count(con, tabel="kw")
