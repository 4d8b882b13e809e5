"""Times BrindleManager against plain DuckDB doing the same work in the same
run, and prints ratios (ours / plain, for times and for throughput alike): the
median of the per-round ratios, the rounds alternating between the two.

    python bench/bench_manager.py [--quick]

Plain DuckDB refreshes a table the way a careful user would by hand: one
atomic CREATE OR REPLACE TABLE ... AS SELECT * FROM df; its readers each
keep a cursor of their own.

The manager's cache of query answers is off for the first cases, which time
the manager itself; the cases marked "cache on" time it with the cache.
"""

import argparse
import statistics
import threading
import time

import duckdb
import pandas as pd

from bench_store_query import alternating, mixed_frame
from brindle.config import BrindleConfig
from brindle.quaymaster import BrindleManager


def plain_replace(cursor, name, frame):
    cursor.register("df", frame)
    try:
        cursor.execute(f"CREATE OR REPLACE TABLE {name} AS SELECT * FROM df")
    finally:
        cursor.unregister("df")


def plain_swap(cursor, name, frame):
    """What a store does in DuckDB, by hand: the new table built beside the old
    one, the old one dropped and the new one renamed, in one transaction."""
    cursor.register("df", frame)
    try:
        cursor.execute("BEGIN TRANSACTION")
        cursor.execute(f'CREATE TABLE "{name}~new" AS SELECT * FROM df')
        cursor.execute(f"DROP TABLE IF EXISTS {name}")
        cursor.execute(f'ALTER TABLE "{name}~new" RENAME TO {name}')
        cursor.execute("COMMIT")
    finally:
        cursor.unregister("df")


def reads_per_second(read_for_thread, refresh, threads=2, seconds=2.0, every=0.1):
    """Reads per second from `threads` readers while `refresh()` runs every `every` seconds."""
    stop = threading.Event()
    counts = [0] * threads

    def reader(i):
        read = read_for_thread()
        while not stop.is_set():
            read()
            counts[i] += 1

    def writer():
        while not stop.wait(every):
            refresh()

    workers = [threading.Thread(target=reader, args=(i,)) for i in range(threads)]
    workers.append(threading.Thread(target=writer))
    for w in workers:
        w.start()
    time.sleep(seconds)
    stop.set()
    for w in workers:
        w.join()
    return sum(counts) / seconds


class NoQuery:
    """A query layer that runs nothing: what is left of a query's time is the manager's own."""

    def query(self, conn, table, sql_where=None, columns=None, limit=None):
        return None


def manager_overhead_per_query(cache, calls=20_000):
    """Seconds of the manager's own work per query (registry, reader count, counters, connection)."""
    real = cache._query
    cache._query = NoQuery()
    try:
        best = float("inf")
        for _ in range(5):
            start = time.perf_counter()
            for _ in range(calls):
                cache.query("bench", "t", limit=10)
            best = min(best, (time.perf_counter() - start) / calls)
        return best
    finally:
        cache._query = real


def store_under_readers(read_for_thread, store, readers=3, stores=10):
    """Median seconds of `store()` while `readers` threads query back to back."""
    stop = threading.Event()

    def reader():
        read = read_for_thread()
        while not stop.is_set():
            read()

    workers = [threading.Thread(target=reader) for _ in range(readers)]
    for w in workers:
        w.start()
    time.sleep(0.1)
    times = []
    for _ in range(stores):
        start = time.perf_counter()
        store()
        times.append(time.perf_counter() - start)
    stop.set()
    for w in workers:
        w.join()
    return statistics.median(times)


def first_query_ratios(cache, plain_cursor, ask, plain_sql, rounds):
    """The first run of a question after its table changed, as per-round
    medians: cache on / plain, cache off / plain, and cache on / cache off;
    then the second run with the cache on (the one that keeps the answer)
    over the first with it off.

    The change is a write the manager sees (a DELETE of no rows through
    execute_sql, which makes every kept answer of the database go); plain
    DuckDB runs the same DELETE. Only the queries are timed.
    """
    budget = cache.config.result_cache_bytes
    seconds = []

    def ours(on):
        cache.execute_sql("bench", "DELETE FROM t WHERE id < 0")
        cache.config.result_cache_bytes = budget if on else 0
        start = time.perf_counter()
        ask()
        took = time.perf_counter() - start
        if on:
            start = time.perf_counter()
            ask()
            seconds.append(time.perf_counter() - start)
        cache.config.result_cache_bytes = budget
        return took

    def plain():
        plain_cursor.execute("DELETE FROM t WHERE id < 0")
        start = time.perf_counter()
        plain_cursor.execute(plain_sql).df()
        return time.perf_counter() - start

    runs = [lambda: ours(True), lambda: ours(False), plain]
    for _ in range(3):  # a question is judged and kept when it comes back; warm up past that
        [run() for run in runs]
    on, off, base = [], [], []
    seconds.clear()
    for i in range(rounds):
        times = {}
        for k in range(3):
            which = (i + k) % 3
            times[which] = runs[which]()
        on.append(times[0]), off.append(times[1]), base.append(times[2])
    return (statistics.median(o / p for o, p in zip(on, base)), statistics.median(f / p for f, p in zip(off, base)),
            statistics.median(o / f for o, f in zip(on, off)), statistics.median(s / f for s, f in zip(seconds, off)))


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="fewer repeats, for a smoke run")
    args = parser.parse_args()
    repeats = 3 if args.quick else 11

    cache = BrindleManager(BrindleConfig())
    budget = cache.config.result_cache_bytes
    cache.config.result_cache_bytes = 0
    small = mixed_frame(100_000)
    cache.store("bench", "t", small)
    con = duckdb.connect()
    cursor = con.cursor()
    plain_replace(cursor, "t", small)

    results = []

    def compare(name, ours, plain, inner=1):
        results.append((name, *alternating(ours, plain, repeats, inner), "time"))

    compare("query, 10 of 100,000 rows", lambda: cache.query("bench", "t", limit=10),
            lambda: cursor.execute("SELECT * FROM t  LIMIT 10").df(), inner=50)
    compare("query, all 100,000 rows", lambda: cache.query("bench", "t"),
            lambda: cursor.execute("SELECT * FROM t  ").df(), inner=3)

    thousand = mixed_frame(1_000, seed=2)
    compare("store, 1,000 mixed rows", lambda: cache.store("bench", "k", thousand),
            lambda: plain_replace(cursor, "k", thousand), inner=20)
    compare("store, 1,000 rows, against the same swap by hand", lambda: cache.store("bench", "k", thousand),
            lambda: plain_swap(cursor, "k", thousand), inner=20)
    compare("execute_sql, SELECT 42", lambda: cache.execute_sql("bench", "SELECT 42"),
            lambda: cursor.execute("SELECT 42").df(), inner=50)

    big = mixed_frame(1_000_000, seed=1)
    compare("store, 1,000,000 mixed rows", lambda: cache.store("bench", "big", big),
            lambda: plain_replace(cursor, "big", big))

    # Two readers while a writer re-stores the 100,000-row table every 100 ms.
    refreshed = [mixed_frame(100_000, seed=s) for s in range(2)]
    flip = iter(range(10**9))
    def plain_reader():
        own = con.cursor()
        return lambda: own.execute("SELECT * FROM t  LIMIT 10").df()

    writer_cursor = con.cursor()
    rounds = []
    for i in range(4 if args.quick else 10):
        run_ours = lambda: reads_per_second(lambda: lambda: cache.query("bench", "t", limit=10),  # noqa: E731
                                            lambda: cache.store("bench", "t", refreshed[next(flip) % 2]))
        run_plain = lambda: reads_per_second(plain_reader,  # noqa: E731
                                             lambda: plain_replace(writer_cursor, "t", refreshed[next(flip) % 2]))
        if i % 2:
            plain = run_plain()
            ours = run_ours()
        else:
            ours = run_ours()
            plain = run_plain()
        rounds.append((ours, plain))
    results.append(("reads/s, 2 readers, writer every 100 ms", statistics.median(r[0] for r in rounds),
                    statistics.median(r[1] for r in rounds), statistics.median(o / p for o, p in rounds),
                    "throughput"))

    overhead = manager_overhead_per_query(cache)

    # The cache of query answers.
    cache.config.result_cache_bytes = budget
    lookup = "sku = 'sku-00042'"
    compare("cache on: repeated query, 10 of 100,000 rows", lambda: cache.query("bench", "t", limit=10),
            lambda: cursor.execute("SELECT * FROM t  LIMIT 10").df(), inner=50)
    compare("cache on: repeated query, lookup by sku", lambda: cache.query("bench", "t", sql_where=lookup),
            lambda: cursor.execute(f"SELECT * FROM t WHERE {lookup} ").df(), inner=50)
    compare("cache on: repeated query, all 100,000 rows", lambda: cache.query("bench", "t"),
            lambda: cursor.execute("SELECT * FROM t  ").df(), inner=3)
    # Threads answered from the cache hold the GIL; a store must still get it.
    medium = mixed_frame(10_000, seed=3)
    store_rounds = []
    for i in range(2 if args.quick else 6):
        run_ours = lambda: store_under_readers(lambda: lambda: cache.query("bench", "t", limit=10),  # noqa: E731
                                               lambda: cache.store("bench", "m", medium))
        run_plain = lambda: store_under_readers(plain_reader,  # noqa: E731
                                                lambda: plain_replace(writer_cursor, "m", medium))
        pair = (run_ours(), run_plain()) if i % 2 == 0 else tuple(reversed((run_plain(), run_ours())))
        store_rounds.append(pair)
    results.append(("cache on: store 10,000 rows, 3 threads querying", statistics.median(o for o, _ in store_rounds),
                    statistics.median(p for _, p in store_rounds),
                    statistics.median(o / p for o, p in store_rounds), "time"))
    first_rounds = 60 if args.quick else 300
    firsts = [
        ("10 of 100,000 rows", first_query_ratios(cache, cursor, lambda: cache.query("bench", "t", limit=10),
                                                  "SELECT * FROM t  LIMIT 10", first_rounds)),
        ("lookup by sku", first_query_ratios(cache, cursor, lambda: cache.query("bench", "t", sql_where=lookup),
                                             f"SELECT * FROM t WHERE {lookup} ", first_rounds)),
    ]
    print(f"duckdb {duckdb.__version__}, pandas {pd.__version__}")
    print(f"{'case':45} {'ours':>12} {'plain':>12} {'ratio':>7}")
    for name, ours, plain, ratio, kind in results:
        if kind == "time":
            print(f"{name:45} {ours * 1e6:10.1f}us {plain * 1e6:10.1f}us {ratio:7.2f}")
        else:
            print(f"{name:45} {ours:10.0f}/s {plain:10.0f}/s {ratio:7.2f}")
    print(f"manager's own work per query (query layer stubbed out): {overhead * 1e6:.2f}us")
    sql_ours, sql_plain = next((o, p) for name, o, p, *_ in results if name == "execute_sql, SELECT 42")
    print(f"execute_sql, SELECT 42, ours - plain: {(sql_ours - sql_plain) * 1e6:.1f}us")
    print(f"{'first query after a change (ratios to plain)':45} {'cache on':>12} {'cache off':>12} {'on/off':>7}"
          f" {'2nd on/off':>11}")
    for name, (on, off, on_off, second) in firsts:
        print(f"{name:45} {on:12.2f} {off:12.2f} {on_off:7.3f} {second:11.3f}")


if __name__ == "__main__":
    main()
