"""The 22 TPC-H queries through execute_sql(): how many are kept on repeat, how
fast a repeat is against plain DuckDB running the same text, and whether any
answer outlives a store of a table it reads.

    python bench/bench_tpch.py DIR --tpch-python PYTHON

DIR holds the eight tables as Parquet files (customer.parquet, ...), made once
with DuckDB's tpch extension (CALL dbgen(sf=1), then COPY each table TO
DIR/<table>.parquet). The query texts come from the same extension's
tpch_queries(), run by PYTHON: the interpreter of an environment that has
the extension installed (the duckdb-extension-tpch package); this one need
not have it.
"""

import argparse
import decimal
import json
import math
import os
import statistics
import subprocess
import time

import duckdb
import pandas as pd

from brindle.config import BrindleConfig
from brindle.quaymaster import BrindleManager

TABLES = ["customer", "lineitem", "nation", "orders", "part", "partsupp", "region", "supplier"]
ASKS = 3  # noted, then judged and kept: the third is answered from the cache

QUERIES_SCRIPT = """
import json, os, duckdb, duckdb_extension_tpch
con = duckdb.connect()
con.execute("LOAD '" + os.path.join(duckdb_extension_tpch.__path__[0], "extensions",
            "v" + duckdb.__version__, "tpch.duckdb_extension") + "'")
print(json.dumps(dict(con.execute("SELECT query_nr, query FROM tpch_queries() ORDER BY query_nr").fetchall())))
"""


def queries(python):
    out = subprocess.run([python, "-c", QUERIES_SCRIPT], check=True, capture_output=True, text=True).stdout
    return {int(n): q for n, q in json.loads(out).items()}


def seconds(fn, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def same(a, b):
    try:
        pd.testing.assert_frame_equal(a.reset_index(drop=True), b.reset_index(drop=True), check_dtype=False)
        return True
    except AssertionError:
        return False


def hits(cache):
    return sum(s["result_cache_hits"] for s in cache.stats())


def reads(sql, table):
    return any(word.strip("(),") == table for word in sql.lower().split())


def as_floats(frame):
    """DECIMAL columns as float64: pandas reads them as objects, whose DECIMAL
    width plain DuckDB guesses from a sample (and then fails on a wider value)."""
    decimals = [c for c in frame.columns if frame[c].dtype == object and isinstance(frame[c].iloc[0], decimal.Decimal)]
    return frame.astype({c: "float64" for c in decimals})


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("directory")
    parser.add_argument("--tpch-python", required=True, help="python of an environment with duckdb-extension-tpch")
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    texts = queries(args.tpch_python)
    frames = {t: as_floats(pd.read_parquet(os.path.join(args.directory, f"{t}.parquet"))) for t in TABLES}

    cache = BrindleManager(BrindleConfig())
    cache.config.result_cache_bytes = 1 << 30
    plain = duckdb.connect().cursor()
    for table, frame in frames.items():
        cache.store("tpch", table, frame)
        plain.register("df", frame)
        plain.execute(f"CREATE OR REPLACE TABLE {table} AS SELECT * FROM df")
        plain.unregister("df")

    print(f"{'query':>5s} {'kept':>5s} {'right':>6s} {'plain ms':>9s} {'repeat ms':>10s} {'ratio':>8s}")
    ratios, kept_count, wrong = [], 0, 0
    for n, sql in texts.items():
        expected = plain.execute(sql).df()
        plain_s = seconds(lambda: plain.execute(sql).df(), args.repeats)
        for _ in range(ASKS - 1):
            cache.execute_sql("tpch", sql)
        before = hits(cache)
        answer = cache.execute_sql("tpch", sql)
        kept = hits(cache) > before
        right = same(answer, expected)
        repeat_s = seconds(lambda: cache.execute_sql("tpch", sql), args.repeats)
        kept_count += kept
        wrong += not right
        ratios.append(repeat_s / plain_s)
        print(f"{n:5d} {str(kept):>5s} {str(right):>6s} {plain_s * 1e3:9.2f} {repeat_s * 1e3:10.3f} "
              f"{repeat_s / plain_s:8.4f}", flush=True)

    # Every table stored again with other rows (every tenth dropped): no
    # answer may still be the one kept before.
    stale = 0
    for table, frame in frames.items():
        changed = frame[frame.index % 10 != 3]
        cache.store("tpch", table, changed)
        plain.register("df", changed)
        plain.execute(f"CREATE OR REPLACE TABLE {table} AS SELECT * FROM df")
        plain.unregister("df")
        for n, sql in texts.items():
            if reads(sql, table) and not same(cache.execute_sql("tpch", sql), plain.execute(sql).df()):
                stale += 1
                print(f"stale: query {n} after a store of {table}", flush=True)
    geomean = math.exp(sum(math.log(r) for r in ratios) / len(ratios))
    print(f"kept on repeat: {kept_count} of {len(texts)}; wrong answers: {wrong}; "
          f"stale after stores of every table: {stale}; repeat geomean {geomean:.4f}x plain")
    cache.shutdown()


if __name__ == "__main__":
    main()
