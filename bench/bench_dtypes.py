"""What giving answers their stored dtypes back costs: BrindleManager.store and
query (result cache off, so DuckDB answers every time) of a frame whose dtypes
DuckDB changes, and of one it gives back as they are, against plain DuckDB
doing the same work in the same run. Prints ratios (ours / plain; 1.00 = parity).

    python bench/bench_dtypes.py [--quick]
"""

import argparse
import datetime
import statistics
import time

import duckdb
import numpy as np
import pandas as pd

import brindle.quaymaster as qm
from brindle.config import BrindleConfig


def restored_frame(n: int) -> pd.DataFrame:
    rng = np.random.default_rng(0)
    at = pd.Timestamp("2026-01-01") + pd.to_timedelta(rng.integers(0, 10**8, n), unit="s")
    return pd.DataFrame({
        "id": np.arange(n),
        "at_paris": at.tz_localize("UTC").tz_convert("Europe/Paris"),
        "day": pd.Series([datetime.date(2026, 1, 1) + datetime.timedelta(days=int(d)) for d in rng.integers(0, 900, n)],
                         dtype=object),
        "grade": pd.Categorical(rng.integers(1, 6, n)),
        "amount": pd.array(rng.integers(0, 10**6, n), dtype="Int64"),
    })


def plain_frame(n: int) -> pd.DataFrame:
    rng = np.random.default_rng(0)
    return pd.DataFrame({"id": np.arange(n), "qty": rng.integers(0, 1000, n), "price": rng.random(n)})


def median_seconds(fn, repeats: int) -> float:
    fn()
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def plain_duckdb(df: pd.DataFrame):
    con = duckdb.connect()

    def store():
        con.register("f", df)
        con.execute("CREATE OR REPLACE TABLE t AS SELECT * FROM f")
        con.unregister("f")

    def query():
        return con.execute("SELECT * FROM t").df()

    store()
    return store, query


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    rows, repeats = (20_000, 5) if args.quick else (200_000, 15)
    qm.BrindleManager._instance = None
    manager = qm.BrindleManager(BrindleConfig(result_cache_bytes=0))
    for name, make in (("restored", restored_frame), ("as-is", plain_frame)):
        df = make(rows)
        plain_store, plain_query = plain_duckdb(df)
        manager.store("bench", name.replace("-", "_"), df)
        ours_store = median_seconds(lambda: manager.store("bench", name.replace("-", "_"), df), repeats)
        ours_query = median_seconds(lambda: manager.query("bench", name.replace("-", "_")), repeats)
        base_store = median_seconds(plain_store, repeats)
        base_query = median_seconds(plain_query, repeats)
        print(f"{name:9} {rows} rows  store {ours_store / base_store:5.2f}x  query {ours_query / base_query:5.2f}x"
              f"  (plain DuckDB: store {base_store * 1e3:.1f} ms, query {base_query * 1e3:.1f} ms)")
    manager.shutdown()


if __name__ == "__main__":
    main()
