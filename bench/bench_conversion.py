"""Times the conversion of results to pandas (and query_arrow) against plain
DuckDB's execute(...).df() doing the same work in the same run, and prints
ratios (ours / plain; 1.00 = parity). Then two reports through the manager's
execute_sql, repeated, with the result cache on and off: TPC-H Q1 over a
lineitem-like table, and a join of two tables.

    python bench/bench_conversion.py [--quick]
"""

import argparse
import statistics
import time

import duckdb
import numpy as np
import pandas as pd

import brindle.quaymaster as qm
import brindle.tidewatch as tw
from brindle.config import BrindleConfig
from brindle.lookout import CacheQuery


def mixed_frame(n: int, seed: int = 0) -> pd.DataFrame:
    """Ints, ints with NULLs, floats, strings, timestamps, tz timestamps,
    dates, booleans and a categorical."""
    rng = np.random.default_rng(seed)
    with_nulls = pd.array(rng.integers(0, 1000, n), dtype="Int64")
    with_nulls[::7] = pd.NA
    return pd.DataFrame({
        "id": np.arange(n, dtype=np.int64),
        "qty": with_nulls,
        "price": rng.random(n) * 100,
        "sku": pd.array([f"sku-{x:05d}" for x in rng.integers(0, 50_000, n)], dtype="str"),
        "at": pd.Timestamp("2026-01-01") + pd.to_timedelta(rng.integers(0, 10**8, n), unit="s"),
        "at_utc": pd.Timestamp("2026-01-01", tz="UTC") + pd.to_timedelta(rng.integers(0, 10**8, n), unit="s"),
        "day": (pd.Timestamp("2020-01-01") + pd.to_timedelta(rng.integers(0, 3000, n), unit="D")),
        "paid": rng.random(n) > 0.5,
        "region": pd.Categorical(rng.choice(["north", "south", "east", "west"], n)),
    })


def alternating(ours, plain, repeats: int, inner: int = 1) -> tuple:
    """Median seconds per call of ours and of plain, and the median of the
    per-round ratios; rounds alternate who goes first, so that drift in
    machine load hits both alike."""
    ours(), plain()
    t_ours, t_plain = [], []

    def timed(fn):
        start = time.perf_counter()
        for _ in range(inner):
            fn()
        return (time.perf_counter() - start) / inner

    for i in range(repeats):
        if i % 2:
            t_plain.append(timed(plain))
            t_ours.append(timed(ours))
        else:
            t_ours.append(timed(ours))
            t_plain.append(timed(plain))
    ratio = statistics.median(o / p for o, p in zip(t_ours, t_plain))
    return statistics.median(t_ours), statistics.median(t_plain), ratio


def show(label: str, ours: float, plain: float, ratio: float) -> None:
    print(f"  {label:<44} ours {ours * 1e3:9.3f} ms   plain {plain * 1e3:9.3f} ms   ratio {ratio:5.2f}")


def bench_conversion(sizes, repeats: int) -> None:
    print("Whole table to pandas: CacheQuery.query(con, t) vs cursor.execute('SELECT * FROM t').df()")
    print("  (query_arrow vs the same df(): the rows as a pyarrow Table, no pandas step)")
    query = CacheQuery()
    for n in sizes:
        con = duckdb.connect()
        df = mixed_frame(n)
        con.execute("CREATE TABLE t AS SELECT * EXCLUDE (day), day::DATE AS day FROM df")
        # "region" becomes an ENUM, as a categorical does when CacheStore stores it.
        con.execute("CREATE TYPE region_t AS ENUM ('east', 'north', 'south', 'west')")
        con.execute("ALTER TABLE t ALTER region TYPE region_t")
        cursor = con.cursor()
        inner = max(1, 2000 // max(1, n // 100))
        reps = repeats if n < 1_000_000 else max(3, repeats // 3)

        def plain():
            return cursor.execute("SELECT * FROM t").df()

        show(f"query()        {n:>9,} rows", *alternating(lambda: query.query(con, "t"), plain, reps, inner))
        show(f"query_arrow()  {n:>9,} rows", *alternating(lambda: query.query_arrow(con, "t"), plain, reps, inner))
        con.close()


Q1 = """
SELECT l_returnflag, l_linestatus,
       sum(l_quantity) AS sum_qty, sum(l_extendedprice) AS sum_base_price,
       sum(l_extendedprice * (1 - l_discount)) AS sum_disc_price,
       sum(l_extendedprice * (1 - l_discount) * (1 + l_tax)) AS sum_charge,
       avg(l_quantity) AS avg_qty, avg(l_extendedprice) AS avg_price, avg(l_discount) AS avg_disc,
       count(*) AS count_order
FROM lineitem
WHERE l_shipdate <= DATE '1998-12-01' - INTERVAL 90 DAY
GROUP BY l_returnflag, l_linestatus
ORDER BY l_returnflag, l_linestatus"""

JOIN_REPORT = """
SELECT c.segment, o.status, count(*) AS orders, sum(o.total) AS total, avg(o.total) AS mean
FROM orders o JOIN customers c ON o.customer_id = c.id
WHERE o.total > 10
GROUP BY c.segment, o.status
ORDER BY c.segment, o.status"""


def lineitem_frame(rows: int, seed: int = 1) -> pd.DataFrame:
    """The columns TPC-H Q1 reads, with dbgen's value ranges (numbers as DOUBLE)."""
    rng = np.random.default_rng(seed)
    quantity = rng.integers(1, 51, rows).astype(np.float64)
    shipdate = pd.Timestamp("1992-01-02") + pd.to_timedelta(rng.integers(0, 2526, rows), unit="D")
    returnflag = np.where(shipdate <= pd.Timestamp("1995-06-17"), rng.choice(["R", "A"], rows), "N")
    return pd.DataFrame({
        "l_quantity": quantity,
        "l_extendedprice": np.round(quantity * rng.uniform(900, 2100, rows), 2),
        "l_discount": rng.integers(0, 11, rows) / 100.0,
        "l_tax": rng.integers(0, 9, rows) / 100.0,
        "l_returnflag": returnflag,
        "l_linestatus": np.where(shipdate > pd.Timestamp("1995-06-17"), "O", "F"),
        "l_shipdate": shipdate,
    })


def join_frames(rows: int, seed: int = 2):
    rng = np.random.default_rng(seed)
    customers = pd.DataFrame({"id": np.arange(rows // 10), "segment": rng.choice(
        ["AUTOMOBILE", "BUILDING", "FURNITURE", "HOUSEHOLD", "MACHINERY"], rows // 10)})
    orders = pd.DataFrame({"customer_id": rng.integers(0, rows // 10, rows), "status": rng.choice(["F", "O", "P"], rows),
                           "total": rng.random(rows) * 1000})
    return {"customers": customers, "orders": orders}


def fresh_manager() -> qm.BrindleManager:
    qm.BrindleManager._instance = None
    tw.TTLRegistry._instance = None
    return qm.BrindleManager(BrindleConfig(default_mode="single_db"))


def bench_reports(lineitem_rows: int, join_rows: int, repeats: int) -> None:
    tpch = duckdb.connect()
    try:
        tpch.execute("CALL dbgen(sf = 0.1)")
        lineitem = tpch.execute(
            "SELECT l_quantity, l_extendedprice, l_discount, l_tax, l_returnflag, l_linestatus, l_shipdate "
            "FROM lineitem").df()
        source = "dbgen(sf=0.1)"
    except duckdb.Error:
        lineitem = lineitem_frame(lineitem_rows)
        source = f"a lineitem-like frame of {lineitem_rows:,} rows (the tpch extension is not installable here)"
    tpch.close()
    reports = [("TPC-H Q1", {"lineitem": lineitem}, Q1),
               (f"join report, {join_rows:,} orders", join_frames(join_rows), JOIN_REPORT)]
    print(f"\nReports repeated through execute_sql vs cursor.execute(sql).df(); Q1 over {source}")
    manager = fresh_manager()
    budget = manager.config.result_cache_bytes
    try:
        for label, tables, sql in reports:
            plain_con = duckdb.connect()
            for name, df in tables.items():
                manager.store("bench", name, df)
                plain_con.register("source", df)
                plain_con.execute(f"CREATE TABLE {name} AS SELECT * FROM source")
                plain_con.unregister("source")
            cursor = plain_con.cursor()
            for on in (True, False):
                manager.config.result_cache_bytes = budget if on else 0
                ours = lambda: manager.execute_sql("bench", sql)  # noqa: E731
                times = alternating(ours, lambda: cursor.execute(sql).df(), repeats, 5)
                show(f"{label}, result cache {'on' if on else 'off'}", *times)
            manager.config.result_cache_bytes = budget
            plain_con.close()
    finally:
        manager.shutdown()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer rounds and no 1,000,000-row case")
    args = parser.parse_args()
    repeats = 5 if args.quick else 11
    sizes = [10, 10_000, 100_000] if args.quick else [10, 10_000, 100_000, 1_000_000]
    print(f"duckdb {duckdb.__version__}, pandas {pd.__version__}\n")
    bench_conversion(sizes, repeats)
    bench_reports(600_000, 200_000, repeats)


if __name__ == "__main__":
    main()
