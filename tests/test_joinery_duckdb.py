"""brindle.joinery on real DuckDB databases."""

import threading

import duckdb
import pandas as pd
import pytest

from brindle import joinery
from brindle.stowage import CacheStore

OLD = pd.DataFrame({"id": [1, 2], "name": ["a", "b"]})
NEW = pd.DataFrame({"id": [3], "name": ["c"]})


def rows(con, table):
    return con.execute(f"SELECT * FROM {table} ORDER BY id").fetchall()


def frame_loader(con, table, frame, mode, tmp_path):
    joinery.create_duckdb_table_from_df(con, table, frame, mode)


def parquet_loader(con, table, frame, mode, tmp_path):
    path = tmp_path / f"source_{len(list(tmp_path.iterdir()))}.parquet"
    frame.to_parquet(path, index=False)
    joinery.import_duckdb_from_parquet(con, table, str(path), mode)


LOADERS = [pytest.param(frame_loader, id="frame"), pytest.param(parquet_loader, id="parquet")]


@pytest.mark.parametrize("load", LOADERS)
@pytest.mark.parametrize("mode, existing, expected", [
    ("replace", True, [(3, "c")]),
    ("replace", False, [(3, "c")]),
    ("append", True, [(1, "a"), (2, "b"), (3, "c")]),
    ("append", False, [(3, "c")]),
    ("fail", False, [(3, "c")]),
])
def test_modes(con, tmp_path, load, mode, existing, expected):
    if existing:
        load(con, "t", OLD, "replace", tmp_path)
    load(con, "t", NEW, mode, tmp_path)
    assert rows(con, "t") == expected


@pytest.mark.parametrize("load", LOADERS)
def test_fail_mode_on_existing_table_raises_duckdbs_own_error(con, tmp_path, load):
    load(con, "t", OLD, "replace", tmp_path)
    with pytest.raises(duckdb.CatalogException):
        load(con, "t", NEW, "fail", tmp_path)
    assert rows(con, "t") == [(1, "a"), (2, "b")]


def test_frame_argument_wins_over_a_callers_variable_named_df(con):
    df = pd.DataFrame({"unrelated": ["must not be read"]})  # noqa: F841 - the bait
    joinery.create_duckdb_table_from_df(con, "t", NEW)
    assert rows(con, "t") == [(3, "c")]
    joinery.create_duckdb_table_from_df(con, "t", OLD, "append")
    assert rows(con, "t") == [(1, "a"), (2, "b"), (3, "c")]


def test_frame_leaves_nothing_registered_behind_even_on_failure(con):
    con.execute("CREATE TABLE t (x INTEGER)")
    with pytest.raises(duckdb.CatalogException):
        joinery.create_duckdb_table_from_df(con, "t", NEW, "fail")
    assert con.execute("SELECT view_name FROM duckdb_views() WHERE NOT internal").fetchall() == []


def test_replace_inside_a_callers_transaction_can_be_rolled_back(con, tmp_path):
    # The two replace statements are not atomic on their own; a caller who
    # needs that wraps them in a transaction, and nothing of ours gets in the way.
    joinery.create_duckdb_table_from_df(con, "t", OLD)
    con.execute("BEGIN TRANSACTION")
    with pytest.raises(duckdb.IOException):
        joinery.import_duckdb_from_parquet(con, "t", str(tmp_path / "missing.parquet"))
    con.execute("ROLLBACK")
    assert rows(con, "t") == [(1, "a"), (2, "b")]
    con.execute("BEGIN TRANSACTION")
    joinery.create_duckdb_table_from_df(con, "t", NEW)
    con.execute("COMMIT")
    assert rows(con, "t") == [(3, "c")]


@pytest.mark.parametrize("name", ["t.parquet", "it's.parquet", "x'); DROP TABLE t; --.parquet"])
def test_parquet_round_trip_under_a_new_name(con, tmp_path, name):
    joinery.create_duckdb_table_from_df(con, "t", OLD)
    path = str(tmp_path / name)
    joinery.export_duckdb_to_parquet(con, "t", path)
    assert [p.name for p in tmp_path.iterdir()] == [name]
    joinery.import_duckdb_from_parquet(con, "copy", path)
    assert rows(con, "copy") == rows(con, "t") == [(1, "a"), (2, "b")]
    assert joinery.get_duckdb_table_schema(con, "copy") == joinery.get_duckdb_table_schema(con, "t")


def test_schema_and_summary_of_a_table(con):
    con.execute("CREATE TABLE t (b VARCHAR, a BIGINT, ts TIMESTAMP)")
    con.execute("INSERT INTO t VALUES ('x', 1, NULL), ('y', 2, NULL)")
    schema = joinery.get_duckdb_table_schema(con, "t")
    assert schema == {"b": "VARCHAR", "a": "BIGINT", "ts": "TIMESTAMP"}
    assert list(schema) == ["b", "a", "ts"]
    info = joinery.get_duckdb_table_info(con, "t")
    assert list(info) == ["table_name", "row_count", "columns", "column_types", "estimated_size_bytes"]
    assert info["row_count"] == 2 and info["columns"] == ["b", "a", "ts"] and info["column_types"] == schema
    assert isinstance(info["estimated_size_bytes"], int)


@pytest.mark.parametrize("call", [
    lambda c: joinery.get_duckdb_table_info(c, "missing"),
    lambda c: joinery.drop_duckdb_table(c, "missing", if_exists=False),
])
def test_missing_table_raises_duckdbs_own_error(con, call):
    with pytest.raises(duckdb.CatalogException) as caught:
        call(con)
    assert caught.value.__cause__ is None


def test_drop_missing_table_with_default_is_quiet(con):
    assert joinery.drop_duckdb_table(con, "missing") is None


@pytest.mark.parametrize("replace", [
    pytest.param(lambda con: CacheStore().store(con, "events", NEW, threading.Lock()), id="cache-store"),
    pytest.param(lambda con: joinery.create_duckdb_table_from_df(con, "events", NEW), id="replace-mode"),
])
def test_indexed_table_can_still_be_replaced(con, replace):
    # DuckDB refuses to rename a table that has an index, but the store only
    # renames its fresh table; the old one is dropped and its index with it.
    joinery.create_duckdb_table_from_df(con, "events", OLD)
    joinery.create_duckdb_index(con, "events", "id")
    replace(con)
    assert rows(con, "events") == [(3, "c")]
    assert con.execute("SELECT index_name FROM duckdb_indexes()").fetchall() == []
    joinery.create_duckdb_index(con, "events", "id")  # the default name is free again


@pytest.mark.parametrize("helper", [
    lambda c, p: joinery.create_duckdb_table_from_df(c, "t", NEW, "append"),
    lambda c, p: joinery.import_duckdb_from_parquet(c, "t", p, "append"),
    lambda c, p: joinery.create_duckdb_view(c, "v", "SELECT * FROM t"),
    lambda c, p: joinery.get_duckdb_table_schema(c, "t"),
    lambda c, p: joinery.get_duckdb_table_info(c, "t"),
    lambda c, p: joinery.optimize_duckdb_table(c, "t"),
    lambda c, p: joinery.create_duckdb_index(c, "t", "id"),
    lambda c, p: joinery.export_duckdb_to_parquet(c, "t", p),
    lambda c, p: joinery.drop_duckdb_table(c, "t"),
], ids=["frame", "parquet", "view", "schema", "info", "analyze", "index", "export", "drop"])
def test_no_helper_leaves_a_result_open_on_the_callers_connection(con, tmp_path, helper):
    path = str(tmp_path / "t.parquet")
    joinery.create_duckdb_table_from_df(con, "t", OLD)
    con.execute(f"COPY t TO '{path}' (FORMAT PARQUET)")
    helper(con, path)
    assert con.sql("SELECT 42").fetchall() == [(42,)]
