"""Inputs at the edges of what DuckDB and Python accept: names DuckDB reads as
its own, values with no DECIMAL form, tables dropped behind the cache's back."""

import decimal
import math

import duckdb
import pandas as pd
import pytest

import brindle.joinery as jn
from brindle.errors import BrindleError
from manager_support import frame, make_manager  # noqa: F401

PER_TABLE = {"pt": {"mode": "per_table_db"}}


def internal_views():
    """(name, whether DuckDB refuses to drop it) for every internal view, asked of DuckDB itself."""
    con = duckdb.connect()
    names = sorted({r[0] for r in con.execute("SELECT view_name FROM duckdb_views() WHERE internal").fetchall()})
    verdicts = []
    for name in names:
        try:
            con.execute(f"DROP TABLE IF EXISTS {name}")
            verdicts.append((name, False))
        except duckdb.CatalogException as e:
            assert "Cannot drop internal catalog entry" in str(e)
            verdicts.append((name, True))
    con.close()
    return verdicts


def test_internal_views_are_found():
    undroppable = [name for name, refused in internal_views() if refused]
    assert {"duckdb_tables", "duckdb_columns", "pg_class", "pg_tables", "sqlite_master",
            "pragma_database_list"} <= set(undroppable)


@pytest.mark.parametrize("name, undroppable", internal_views())
def test_duckdb_catalog_names_are_refused_up_front(make_manager, name, undroppable):
    m = make_manager()
    m.store("db", "other", frame())
    if not undroppable:  # information_schema's views are off the search path: plain names
        try:
            m.store("db", name, frame())
        except BrindleError as e:  # `columns` is a keyword
            assert str(e).endswith("it is a reserved SQL keyword")
        else:
            assert len(m.query("db", name)) == 3
        return
    for attempt in (lambda: m.store("db", name, frame()), lambda: m.get_table_info("db", name)):
        with pytest.raises(BrindleError, match=rf"^Invalid table name '{name}': it is the name of one of DuckDB"):
            attempt()
    assert not m.exists("db", name)


@pytest.mark.parametrize("databases", [None, PER_TABLE])
@pytest.mark.parametrize("name", ["schemas", "variables", "tables", "databases"])
def test_table_info_of_names_describe_reads_as_show(make_manager, databases, name):
    m = make_manager(databases=databases)
    database = "pt" if databases else "db"
    m.store(database, "other", pd.DataFrame({"z": [1.0]}))
    m.store(database, name, pd.DataFrame({"a": [1, 2], "b": ["x", "y"]}))
    assert m.get_table_info(database, name) == {
        "row_count": 2, "columns": ["a", "b"], "column_types": {"a": "BIGINT", "b": "VARCHAR"}}
    assert m._store.get_table_columns(m.get_raw_connection(database, name), name) == ["a", "b"]
    assert list(jn.get_duckdb_table_schema(m.get_raw_connection(database, name), name)) == ["a", "b"]


D = decimal.Decimal


@pytest.mark.parametrize("values", [
    [D("1.25"), D("Infinity"), None],
    [D("-Infinity"), D("2")],
    [D("1.5"), D("NaN"), D("3")],
    [D("sNaN"), D("100840.04")],
])
def test_decimals_with_no_decimal_form_are_stored_as_double(make_manager, values):
    m = make_manager()
    m.store("db", "d", pd.DataFrame({"d": pd.Series(values, dtype=object), "n": range(len(values))}))
    assert m.get_table_info("db", "d")["column_types"]["d"] == "DOUBLE"
    got = m.query("db", "d", sql_where="1=1")["d"].tolist()
    for value, back in zip(values, got):
        if value is None or value.is_nan():
            assert back is None or math.isnan(back)
        else:
            assert back == float(value)


@pytest.mark.parametrize("databases, drop", [
    (None, lambda m: m.execute_sql("db", "DROP TABLE orders")),
    (PER_TABLE, lambda m: m.get_raw_connection("pt", "orders").execute("DROP TABLE orders")),
])
@pytest.mark.parametrize("serve_stale", [False, True])
def test_get_or_load_after_a_drop_behind_the_cache_loads(make_manager, databases, drop, serve_stale):
    m = make_manager(databases=databases)
    database = "pt" if databases else "db"
    m.store(database, "orders", frame(2))
    drop(m)
    loads = []
    rows = m.get_or_load(database, "orders", lambda: loads.append(1) or frame(5), serve_stale=serve_stale)
    assert (len(rows), loads) == (5, [1])
    assert len(m.query(database, "orders")) == 5


LONE = "ab\udc80"


@pytest.mark.parametrize("call", [
    lambda m, d, t: m.store(d, t, frame()),
    lambda m, d, t: m.query(d, t),
    lambda m, d, t: m.exists(d, t),
    lambda m, d, t: m.get_table_info(d, t),
    lambda m, d, t: m.invalidate(d, t),
    lambda m, d, t: m.get_last_updated(d, t),
    lambda m, d, t: m.get_raw_connection(d, t),
    lambda m, d, t: m.get_or_load(d, t, frame),
])
@pytest.mark.parametrize("which", ["database", "table"])
def test_names_with_lone_surrogates_are_refused_alike(make_manager, call, which):
    m = make_manager()
    m.store("db", "t", frame())
    names = {"database": "db", "table": "t", which: LONE}
    with pytest.raises(ValueError, match=rf"argument '{which}' must be text that has a UTF-8 form, "
                                         r"not 'ab\\udc80', which holds a lone surrogate$"):
        call(m, names["database"], names["table"])
    assert len(m.query("db", "t")) == 3
