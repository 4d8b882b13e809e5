"""Times CacheStore.store and CacheQuery.query against plain DuckDB doing the
same work in the same run, and prints ratios (ours / plain; 1.00 = parity).

    python bench/bench_store_query.py [--quick]
"""

import argparse
import statistics
import threading
import time

import duckdb
import numpy as np
import pandas as pd

from brindle.lookout import CacheQuery
from brindle.stowage import CacheStore


def mixed_frame(n: int, seed: int = 0) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    return pd.DataFrame(
        {
            "id": np.arange(n, dtype=np.int64),
            "qty": rng.integers(0, 1000, n, dtype=np.int32),
            "price": rng.random(n) * 100,
            "sku": pd.Series(rng.integers(0, 50_000, n)).map("sku-{:05d}".format),
            "at": pd.Timestamp("2026-01-01") + pd.to_timedelta(rng.integers(0, 10**9, n), unit="s"),
        }
    )


def best_of(fn, repeats: int, inner: int = 1) -> float:
    """Median seconds per call of fn over `repeats` rounds of `inner` calls."""
    fn()  # warm up
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        for _ in range(inner):
            fn()
        times.append((time.perf_counter() - start) / inner)
    return statistics.median(times)


def alternating(ours, plain, repeats: int, inner: int = 1) -> tuple:
    """Median seconds per call of ours and of plain, and the median of the
    per-round ratios. The rounds alternate between the two (who goes first
    alternates too), so that drift in machine load hits both alike."""
    ours(), plain()
    t_ours, t_plain = [], []
    for i in range(repeats):
        if i % 2:
            t_plain.append(best_of(plain, 1, inner))
            t_ours.append(best_of(ours, 1, inner))
        else:
            t_ours.append(best_of(ours, 1, inner))
            t_plain.append(best_of(plain, 1, inner))
    ratio = statistics.median(o / p for o, p in zip(t_ours, t_plain))
    return statistics.median(t_ours), statistics.median(t_plain), ratio


def threaded(fn_for_thread, threads: int, calls: int) -> float:
    """Seconds for `threads` threads each making `calls` calls."""
    barrier = threading.Barrier(threads + 1)

    def run(i):
        fn = fn_for_thread(i)
        fn()
        barrier.wait()
        for _ in range(calls):
            fn()
        barrier.wait()

    workers = [threading.Thread(target=run, args=(i,)) for i in range(threads)]
    for w in workers:
        w.start()
    barrier.wait()
    start = time.perf_counter()
    barrier.wait()
    elapsed = time.perf_counter() - start
    for w in workers:
        w.join()
    return elapsed


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="fewer repeats, for a smoke run")
    args = parser.parse_args()
    repeats = 3 if args.quick else 11

    con = duckdb.connect()
    store, query = CacheStore(), CacheQuery()
    small = mixed_frame(100_000)
    store.store(con, "ours", small, None)
    con.execute("CREATE TABLE plain AS SELECT * FROM small")
    plain_cursor = con.cursor()

    results = []

    def compare(name, ours, plain, inner=1):
        results.append((name, *alternating(ours, plain, repeats, inner)))

    compare(
        "query, 10 of 100,000 rows",
        lambda: query.query(con, "ours", limit=10),
        lambda: plain_cursor.execute("SELECT * FROM plain  LIMIT 10").df(),
        inner=50,
    )
    compare(
        "query, all 100,000 rows",
        lambda: query.query(con, "ours"),
        lambda: plain_cursor.execute("SELECT * FROM plain  ").df(),
        inner=3,
    )
    compare(
        "query, 10 rows, plain makes a cursor per query",
        lambda: query.query(con, "ours", limit=10),
        lambda: con.cursor().execute("SELECT * FROM plain  LIMIT 10").df(),
        inner=50,
    )

    big = mixed_frame(1_000_000, seed=1)

    def plain_store():
        df = big  # noqa: F841 - found by DuckDB's replacement scan
        plain_cursor.execute("DROP TABLE IF EXISTS plain_big")
        plain_cursor.execute("CREATE TABLE plain_big AS SELECT * FROM df")

    compare("store, 1,000,000 mixed rows", lambda: store.store(con, "ours_big", big, None), plain_store)

    for threads in (1, 2):
        calls = 200 if not args.quick else 50

        def ours_reader(i):
            return lambda: query.query(con, "ours", sql_where="qty < 500", limit=1000)

        def plain_reader(i):
            cursor = con.cursor()
            return lambda: cursor.execute("SELECT * FROM plain WHERE qty < 500 LIMIT 1000").df()

        rounds = [(threaded(ours_reader, threads, calls), threaded(plain_reader, threads, calls))
                  for _ in range(repeats)]
        t_ours = statistics.median(r[0] for r in rounds)
        t_plain = statistics.median(r[1] for r in rounds)
        results.append((f"reads from {threads} thread(s), {calls} x 1,000 rows each",
                        t_ours / (threads * calls), t_plain / (threads * calls)))

    # What a per-query cursor costs on its own (the alternative is a cursor
    # kept per thread and connection).
    cursor_cost = best_of(lambda: con.cursor().close(), repeats, inner=200)

    print(f"duckdb {duckdb.__version__}, pandas {pd.__version__}")
    print(f"cursor() + close() alone: {cursor_cost * 1e6:.1f}us")
    print(f"{'case':55} {'ours':>12} {'plain':>12} {'ratio':>7}")
    for name, t_ours, t_plain, *ratio in results:
        ratio = ratio[0] if ratio else t_ours / t_plain
        print(f"{name:55} {t_ours * 1e6:10.1f}us {t_plain * 1e6:10.1f}us {ratio:7.2f}")


if __name__ == "__main__":
    main()
