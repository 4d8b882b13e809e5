"""Many small tables: brindle against plain DuckDB doing the same in the same run.

    python bench/bench_scale.py [--full] [--tables N ...]

For 10, 100 and 1,000 tables of 1,000 rows (and 10,000 with --full) in both
storage modes, each case in a fresh process: the time per store, the memory
(RSS) and OS threads the tables add, the latency of a 10-row query of a random
table, stats() (its first call after the stores, which measures every table, and the median of
three calls after it; plain: one pass over duckdb_tables()), a drop pass of half
the tables (what an expiry pass does to each), and the closing of the rest
at shutdown (the cleanup thread stopped beforehand), and the final shutdown. Plain DuckDB keeps one database for
single_db and one duckdb.connect() per table for per_table_db (what a user
would do by hand); that costs DuckDB tens of milliseconds and megabytes per
table, so plain per_table_db runs only up to 100 tables (1,000 with --full: 4 GB).
"""

import argparse
import json
import os
import random
import statistics
import subprocess
import sys
import time

ROWS = 1000


def rss_bytes():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS"):
                return int(line.split()[1]) * 1024
    return 0


def os_threads():
    return len(os.listdir("/proc/self/task"))


def small_frame():
    import numpy as np
    import pandas as pd
    return pd.DataFrame({"id": np.arange(ROWS), "value": np.random.rand(ROWS),
                         "name": [f"name{i}" for i in range(ROWS)]})


class Plain:
    def __init__(self, mode):
        import duckdb
        self.duckdb, self.mode = duckdb, mode
        self.shared = duckdb.connect() if mode == "single_db" else None
        self.connections = {}

    def _connection(self, table):
        if self.shared is not None:
            return self.shared
        if table not in self.connections:
            self.connections[table] = self.duckdb.connect()
        return self.connections[table]

    def store(self, table, df):
        cursor = self._connection(table).cursor()
        cursor.register("df", df)
        cursor.execute(f"CREATE OR REPLACE TABLE {table} AS SELECT * FROM df")
        cursor.unregister("df")
        cursor.close()

    def query(self, table):
        return self._connection(table).cursor().execute(f"SELECT * FROM {table} LIMIT 10").df()

    def stats(self):
        sql = "SELECT table_name, estimated_size, column_count FROM duckdb_tables()"
        targets = [self.shared] if self.shared is not None else list(self.connections.values())
        return [row for c in targets for row in c.cursor().execute(sql).fetchall()]

    def expire_all(self, tables):
        for table in tables:
            if self.shared is not None:
                self.shared.execute(f"DROP TABLE {table}")
            else:
                self.connections.pop(table).close()

    def shutdown(self):
        for c in self.connections.values():
            c.close()
        if self.shared is not None:
            self.shared.close()


class Brindle:
    def __init__(self, mode):
        from brindle.config import BrindleConfig
        from brindle.quaymaster import BrindleManager
        self.m = BrindleManager(BrindleConfig(default_mode=mode, result_cache_bytes=0))

    def store(self, table, df):
        self.m.store("db", table, df)

    def query(self, table):
        return self.m.query("db", table, limit=10)

    def stats(self):
        return self.m.stats()

    def expire_all(self, tables):
        # The removal the cleanup thread makes of an expired table.
        for table in tables:
            self.m._cleanup_table("db", table)

    def stop_cleanup_thread(self):
        registry = self.m._ttl_registry
        registry.stop_cleanup_thread()
        registry.stop_cleanup_thread = lambda: None  # stopped once; shutdown's own stop would wait again

    def shutdown(self):
        self.m.shutdown()


def timed_ms(fn):
    start = time.perf_counter()
    fn()
    return (time.perf_counter() - start) * 1000


def run_case(impl, mode, count):
    df = small_frame()
    subject = (Plain if impl == "plain" else Brindle)(mode)
    tables = [f"t{i}" for i in range(count)]
    rss0, threads0 = rss_bytes(), os_threads()
    start = time.perf_counter()
    for table in tables:
        subject.store(table, df)
    store_ms = (time.perf_counter() - start) * 1000 / count
    rss, threads = rss_bytes() - rss0, os_threads() - threads0
    picks = [random.choice(tables) for _ in range(300)]
    start = time.perf_counter()
    for table in picks:
        subject.query(table)
    query_ms = (time.perf_counter() - start) * 1000 / len(picks)
    first_stats_ms = timed_ms(subject.stats)  # what it measures of every table freshly stored
    stats_ms = statistics.median(timed_ms(subject.stats) for _ in range(3))
    start = time.perf_counter()
    subject.expire_all(tables[: count // 2])
    expiry_ms = (time.perf_counter() - start) * 1000 / (count // 2 or 1)
    # The cleanup thread's stop is not the connections' close: timed apart.
    getattr(subject, "stop_cleanup_thread", lambda: None)()
    start = time.perf_counter()
    subject.shutdown()
    shutdown_ms = (time.perf_counter() - start) * 1000
    data = count * (df.memory_usage(deep=True).sum())
    return {"store_ms": store_ms, "rss_mb": rss / 1e6, "rss_per_data": rss / data, "threads": threads,
            "query_ms": query_ms, "first_stats_ms": first_stats_ms, "stats_ms": stats_ms, "expiry_ms": expiry_ms, "shutdown_ms": shutdown_ms}


def in_fresh_process(impl, mode, count):
    out = subprocess.run([sys.executable, __file__, "--case", impl, mode, str(count)],
                         capture_output=True, text=True, check=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--full", action="store_true", help="also 10,000 tables (minutes)")
    parser.add_argument("--tables", type=int, nargs="+", help="only these table counts")
    parser.add_argument("--case", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.case:
        impl, mode, count = args.case
        print(json.dumps(run_case(impl, mode, int(count))))
        return
    counts = args.tables or [10, 100, 1000] + ([10000] if args.full else [])
    plain_per_table_max = 1000 if args.full else 100
    print(f"{os.cpu_count()} cores; tables of {ROWS} rows; ours / plain DuckDB in the same run; "
          "store, query and expiry per table, stats and shutdown for all")
    header = ("mode", "tables", "who", "store ms", "RSS MB", "RSS/data", "threads", "query ms",
              "1st stats ms", "stats ms", "expiry ms", "shutdown ms")
    print("  ".join(f"{h:>12}" for h in header))
    for mode in ("single_db", "per_table_db"):
        for count in counts:
            rows = [("brindle", in_fresh_process("brindle", mode, count))]
            if mode == "single_db" or count <= plain_per_table_max:
                rows.append(("plain", in_fresh_process("plain", mode, count)))
            for who, r in rows:
                cells = (mode, count, who, f"{r['store_ms']:.2f}", f"{r['rss_mb']:.1f}", f"{r['rss_per_data']:.2f}",
                         r["threads"], f"{r['query_ms']:.3f}", f"{r['first_stats_ms']:.1f}",
                         f"{r['stats_ms']:.1f}", f"{r['expiry_ms']:.2f}",
                         f"{r['shutdown_ms']:.0f}")
                print("  ".join(f"{c:>12}" for c in cells), flush=True)


if __name__ == "__main__":
    main()
