"""Reports through execute_sql() of every shape a deterministic SELECT takes are
kept, and a kept answer never outlives a change of any table it reads."""

import pandas as pd
import pytest

from manager_support import make_manager  # noqa: F401

ASKS = 4  # noted, then judged and kept, then answered from the cache

ORDERS = "SELECT * FROM orders"
KEPT = {
    "cte": ("WITH big AS (SELECT cid, amount FROM orders WHERE amount > 4) "
            "SELECT cid, sum(amount) AS total FROM big GROUP BY cid ORDER BY cid", ["orders"]),
    "scalar subquery": ("SELECT c.id, (SELECT max(amount) FROM orders o WHERE o.cid = c.id) AS top "
                        "FROM customers c ORDER BY c.id", ["orders", "customers"]),
    "IN subquery": ("SELECT * FROM customers WHERE id IN (SELECT cid FROM orders WHERE amount > 6) ORDER BY id",
                    ["orders", "customers"]),
    "EXISTS in HAVING": ("SELECT cid, count(*) AS n FROM orders GROUP BY cid "
                         "HAVING EXISTS (SELECT 1 FROM customers WHERE id = cid AND country = 'b') ORDER BY cid",
                         ["orders", "customers"]),
    "union": ("SELECT id FROM customers UNION ALL SELECT cid FROM orders ORDER BY 1", ["orders", "customers"]),
    "intersect": ("SELECT id FROM customers INTERSECT SELECT cid FROM orders ORDER BY 1", ["orders", "customers"]),
    "except": ("SELECT cid FROM orders EXCEPT SELECT id FROM customers WHERE country = 'a' ORDER BY 1",
               ["orders", "customers"]),
    "window": ("SELECT cid, amount, row_number() OVER (PARTITION BY cid ORDER BY amount) AS r, "
               "sum(amount) OVER (ORDER BY amount) AS running FROM orders ORDER BY amount", ["orders"]),
    "qualify": ("SELECT cid, amount FROM orders QUALIFY rank() OVER (PARTITION BY cid ORDER BY amount DESC) = 1 "
                "ORDER BY cid", ["orders"]),
    "qualified names": ("SELECT o.amount FROM main.orders o JOIN memory.main.customers c ON o.cid = c.id "
                        "ORDER BY 1", ["orders", "customers"]),
    "limit offset": ("SELECT amount FROM orders ORDER BY amount LIMIT 2 OFFSET 1", ["orders"]),
    "date arithmetic": ("SELECT cid, year(DATE '2026-01-01' + INTERVAL 3 DAY) AS y FROM orders ORDER BY cid",
                        ["orders"]),
}
NOT_KEPT = {
    "a table the cache did not store": "SELECT count(*) AS n FROM orders, scratch",
    "a system function": "SELECT count(*) AS n FROM duckdb_tables(), orders",
    "a table function": "SELECT count(*) AS n FROM orders, range(3)",
    "a file": "SELECT count(*) AS n FROM orders, read_csv('{csv}')",
    "a setting": "SELECT current_setting('threads') AS s, count(*) AS n FROM orders",
    "a variable": "SELECT getvariable('x') AS v, count(*) AS n FROM orders",
    "a volatile function in a CTE": "WITH r AS (SELECT random() AS x FROM orders) SELECT count(*) AS n FROM r",
    "the clock in a subquery": "SELECT * FROM orders WHERE amount < (SELECT epoch(now()))",
    "the clock by a bare name": "SELECT current_date AS d, count(*) AS n FROM orders",
    "the clock by a bare name in a CTE": "WITH n AS (SELECT current_timestamp AS at) SELECT * FROM orders, n",
    "a sample": "SELECT * FROM orders USING SAMPLE 2 ROWS",
    "another catalog": "SELECT count(*) AS n FROM system.main.duckdb_settings()",
}


def store_tables(m, version=1):
    m.store("db", "orders", pd.DataFrame({"cid": [1, 2, 2, 3], "amount": [10.0, 5.0, 7.0, 1.0 * version]}))
    m.store("db", "customers", pd.DataFrame({"id": [1, 2, 4], "country": ["a", "b", "a" if version == 1 else "b"]}))


def hits(m):
    return sum(s["result_cache_hits"] for s in m.stats() if s["table"] in ("orders", "customers"))


def truth(m, sql):
    """The answer DuckDB gives now, with the result cache off."""
    kept = m.config.result_cache_bytes
    m.config.result_cache_bytes = 0
    try:
        return m.execute_sql("db", sql)
    finally:
        m.config.result_cache_bytes = kept


def change_by_store(m, table):
    if table == "orders":
        m.store("db", "orders", pd.DataFrame({"cid": [2, 4], "amount": [3.0, 9.0]}))
    else:
        m.store("db", "customers", pd.DataFrame({"id": [2, 3], "country": ["a", "a"]}))


def change_by_sql(m, table):
    column = "amount" if table == "orders" else "id"
    m.execute_sql("db", f"UPDATE {table} SET {column} = {column} + 1")


@pytest.mark.parametrize("change", [change_by_store, change_by_sql])
@pytest.mark.parametrize("shape", list(KEPT))
def test_every_deterministic_report_shape_is_kept_and_never_stale(make_manager, shape, change):
    m = make_manager()
    store_tables(m)
    sql, tables = KEPT[shape]
    answers = [m.execute_sql("db", sql) for _ in range(ASKS)]
    assert hits(m) > 0, shape
    pd.testing.assert_frame_equal(answers[-1], truth(m, sql))
    for table in tables:
        change(m, table)
        for _ in range(ASKS):
            pd.testing.assert_frame_equal(m.execute_sql("db", sql), truth(m, sql))


@pytest.mark.parametrize("shape", list(KEPT))
def test_a_kept_report_goes_when_a_table_it_reads_is_invalidated(make_manager, shape):
    m = make_manager()
    store_tables(m)
    sql, tables = KEPT[shape]
    for _ in range(ASKS):
        m.execute_sql("db", sql)
    m.invalidate("db", tables[-1])
    with pytest.raises(Exception):
        m.execute_sql("db", sql)


@pytest.mark.parametrize("shape", list(NOT_KEPT))
def test_reports_reading_anything_but_cached_tables_are_not_kept(make_manager, tmp_path, shape):
    m = make_manager()
    store_tables(m)
    m.execute_sql("db", "CREATE TABLE scratch AS SELECT 1 AS x")  # DDL: what the cache knew goes
    store_tables(m)
    csv = tmp_path / "f.csv"
    csv.write_text("x\n1\n")
    sql = NOT_KEPT[shape].format(csv=csv)
    for _ in range(ASKS):
        try:
            m.execute_sql("db", sql)
        except Exception:
            pass  # a text DuckDB refuses is not kept either
    assert hits(m) == 0


@pytest.mark.parametrize("report", [False, True])
def test_a_column_named_like_the_clock_is_judged_again_when_the_table_loses_it(make_manager, report):
    m = make_manager()
    m.store("db", "days", pd.DataFrame({"current_date": [pd.Timestamp("2001-01-01")] * 2, "n": [1, 2]}))

    def ask():
        if report:
            return m.execute_sql("db", "SELECT current_date AS d FROM days")
        return m.query("db", "days", columns=["current_date AS d"])

    for _ in range(ASKS):
        assert ask()["d"].iloc[0].year == 2001
    # Stored again without that column, the same text reads the clock.
    m.store("db", "days", pd.DataFrame({"n": [1, 2]}))
    for _ in range(ASKS):
        assert ask()["d"].iloc[0].year > 2001
    assert sum(s["result_cache_hits"] for s in m.stats() if s["table"] == "days") == 2
