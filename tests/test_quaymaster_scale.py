"""Many tables: DuckDB settings of the databases the cache opens, a catalog per
table in per_table_db mode, stats() in one pass, and closing many tables."""

import gc
import threading

import duckdb
import pandas as pd
import pytest

import brindle
from brindle.config import BrindleConfig
from conftest import run_threads, threads_running
from manager_support import frame, make_manager  # noqa: F401

MODES = ["single_db", "per_table_db"]


def setting(connection, name):
    return connection.execute(f"SELECT current_setting('{name}')").fetchone()[0]


def catalogs_left():
    return len(getattr(brindle, "_duckdb_catalogs", {}))


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("source", ["config", "environment", "file"])
def test_settings_reach_every_database(make_manager, monkeypatch, tmp_path, mode, source):
    spill = str(tmp_path / "spill")
    wanted = {"threads": 1, "async_threads": 2, "memory_limit": "100MB", "temp_directory": spill}
    if source == "config":
        m = make_manager(default_mode=mode, duckdb_threads=1, duckdb_async_threads=2, duckdb_memory_limit="100MB",
                         duckdb_temp_directory=spill)
    elif source == "environment":
        env = {"BRINDLE_DUCKDB_THREADS": "1", "BRINDLE_DUCKDB_ASYNC_THREADS": "2",
               "BRINDLE_DUCKDB_MEMORY_LIMIT": "100MB", "BRINDLE_DUCKDB_TEMP_DIRECTORY": spill}
        settings = vars(BrindleConfig.from_env(env))
        m = make_manager(**{**settings, "default_mode": mode})
    else:
        m = make_manager(default_mode=mode, duckdb_threads=3,
                         databases={"a": {"duckdb": {**wanted}}, "b": {"duckdb": {"threads": None}}})
    m.store("a", "t", frame())
    m.store("a", "u", frame())
    m.store("b", "t", frame())
    for table in ("t", "u"):
        connection = m.get_raw_connection("a", table)
        got = {name: setting(connection, name) for name in wanted}
        assert got == {**wanted, "memory_limit": "95.3 MiB", "async_threads": 2}
    other = setting(m.get_raw_connection("b", "t"), "threads")
    # b's file entry gives threads back to DuckDB's default; without a file, b gets a's settings.
    assert other == (duckdb.connect().execute("SELECT current_setting('threads')").fetchone()[0]
                     if source == "file" else 1)


def test_per_table_tables_live_in_catalogs_of_one_instance(make_manager):
    m = make_manager(default_mode="per_table_db")
    m.store("a", "t", frame(2))
    m.store("a", "u", frame(5))
    ct, cu = m.get_raw_connection("a", "t"), m.get_raw_connection("a", "u")
    assert isinstance(ct, duckdb.DuckDBPyConnection)
    assert ct.execute("SELECT count(*) FROM t").fetchone() == (2,)
    assert cu.execute("SELECT count(*) FROM u").fetchone() == (5,)
    with pytest.raises(duckdb.CatalogException):
        ct.execute("SELECT * FROM u")  # each table's connection sees its own catalog only by default
    names = {ct.execute("SELECT current_database()").fetchone()[0], cu.execute("SELECT current_database()").fetchone()[0]}
    assert len(names) == 2
    m.invalidate("a", "t")
    attached = {row[0] for row in cu.execute("SELECT database_name FROM duckdb_databases()").fetchall()}
    assert names - attached and cu.execute("SELECT count(*) FROM u").fetchone() == (5,)
    with pytest.raises(duckdb.ConnectionException):
        ct.execute("SELECT 1")
    m.store("a", "t", frame(3))
    assert m.query("a", "t").shape == (3, 2)


@pytest.mark.parametrize("mode", MODES)
def test_stats_values_in_one_pass(make_manager, mode):
    m = make_manager(default_mode=mode)
    for db in ("a", "b"):
        for i in range(4):
            m.store(db, f"t{i}", frame(10 + i))
    m.execute_sql("a", "CREATE TABLE extra AS SELECT 1 AS x") if mode == "single_db" else None
    m.get_raw_connection("b", "t3").execute("DROP TABLE t3")  # gone behind the manager's back
    stats = m.stats()
    got = {(s["database"], s["table"]): (s["rows"], s["columns"]) for s in stats}
    expected = {(db, f"t{i}"): (10 + i, 2) for db in ("a", "b") for i in range(4)}
    del expected[("b", "t3")]
    assert got == expected
    figures = ("memory_bytes", "database_memory_bytes")
    again = {(s["database"], s["table"]): tuple(s[k] for k in figures) for s in m.stats()}
    memory = {(s["database"], s["table"]): tuple(s[k] for k in figures) for s in stats}
    # Table data only: the same however often it is read; the database's
    # figure is shared by its tables.
    assert again == memory and all(v > 0 for pair in memory.values() for v in pair)
    assert len({total for (db, _), (_, total) in memory.items() if db == "a"}) == 1


@pytest.mark.parametrize("settings", [{"default_mode": "single_db"}, {"default_mode": "per_table_db"},
                                      {"persist_base_path": True}])
def test_stats_memory_is_each_tables_own(make_manager, tmp_path, settings):
    if settings.get("persist_base_path"):
        settings = {"persist_base_path": str(tmp_path)}  # a database file
    m = make_manager(**settings)
    m.store("db", "small", frame(2))
    m.store("db", "large", frame(500_000))

    def figures():
        return {s["table"]: (s["memory_bytes"], s["database_memory_bytes"]) for s in m.stats()}

    (small, total), (large, same_total) = figures()["small"], figures()["large"]
    assert total == same_total and 0 < small < 64 * 1024 and 10 * small < large
    assert total / 4 < large < total * 4  # the large table is nearly all of the database
    if not settings.get("persist_base_path"):
        # A small table in memory counts its strings' bytes, not just its rows.
        m.store("db", "words", pd.DataFrame({"id": range(300), "word": ["x" * 4000] * 300}))
        assert 1_200_000 < figures()["words"][0] < 4 * 1_200_000
    # Measured again after a store, and after rows changed behind the cache's back.
    m.store("db", "small", frame(200_000))
    grown = figures()["small"][0]
    assert grown > 10 * small  # a database file holds it compressed
    m.get_raw_connection("db", "small").execute("INSERT INTO small SELECT * FROM small").fetchall()
    assert figures()["small"][0] > grown


@pytest.mark.slow  # stress
@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("how", ["invalidate", "shutdown", "expiry"])
def test_closing_many_tables_while_they_are_read(make_manager, mode, how):
    m = make_manager(default_mode=mode)
    tables = [f"t{i}" for i in range(40)]
    for table in tables:
        m.store("a", table, frame(), ttl_minutes=0 if how == "expiry" else 60)
    handed = m.get_raw_connection("a", tables[0])
    stop, errors = threading.Event(), []

    def read():
        while not stop.is_set():
            for table in tables:
                try:
                    m.get_table_info("a", table)
                except brindle.BrindleError:
                    pass
                except Exception as e:  # anything but "not cached" is a fault
                    errors.append(e)

    with threads_running(2, lambda i: read()):
        try:
            if how == "invalidate":
                m.invalidate("a")
            elif how == "shutdown":
                m.shutdown()
            else:
                for table in tables:
                    m._cleanup_expired_table("a", table)
        finally:
            stop.set()
    assert errors == []
    assert catalogs_left() == 0
    if mode == "single_db" and how == "expiry":  # the database stays open, its tables go
        assert list(m._connections) == [("a", None)] and m.stats() == []
        return
    assert m._connections == {}
    with pytest.raises(duckdb.ConnectionException):
        handed.execute("SELECT 1")


def live_duckdb_connections():
    gc.collect()
    return sum(1 for o in gc.get_objects() if isinstance(o, duckdb.DuckDBPyConnection))


@pytest.mark.slow  # stress
@pytest.mark.parametrize("touch", ["store", "query", "get_table_info"])
def test_a_thread_visiting_many_tables_keeps_few_cursors(make_manager, touch):
    m = make_manager(default_mode="per_table_db")
    tables = [f"t{i}" for i in range(200)]
    for i, table in enumerate(tables):
        m.store("a", table, frame(i % 7 + 1))

    def visit(i, table):
        if touch == "store":
            m.store("a", table, frame(i % 5 + 1, version=1))
            return m.query("a", table)["version"].tolist() == [1] * (i % 5 + 1)
        if touch == "query":
            return len(m.query("a", table)) == i % 7 + 1
        return m.get_table_info("a", table)["row_count"] == i % 7 + 1

    got = {}

    def work():
        before = live_duckdb_connections()
        got["right"] = all(visit(i, table) for i, table in enumerate(tables))
        got["kept"] = live_duckdb_connections() - before
        # The first tables' cursors made way for later ones: those tables still answer.
        got["again"] = all(visit(i, tables[i]) for i in range(3))

    run_threads(1, lambda i: work())  # on a thread of its own: the cursors are per thread
    assert got["right"] and got["again"]
    assert got["kept"] < len(tables) // 2  # not a cursor per table visited
