"""Time from A's store() returning to B serving the new rows, through PostgreSQL.

Starts a throwaway PostgreSQL server (as the tests do), runs process B as a
child that polls its cache and reports when it serves each new version, and
stores from this process (A). Prints p50 and p99 over 50 refreshes of a
100,000-row table, and the median for other sizes.

    .venv/bin/python bench/bench_propagation.py [refreshes]
"""

import json
import os
import statistics
import subprocess
import sys
import textwrap
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:0] = [os.path.join(ROOT, "tests"), os.path.join(ROOT, "examples")]

import pandas as pd  # noqa: E402
import psycopg  # noqa: E402

import pg_server  # noqa: E402
from brindle.config import BrindleConfig  # noqa: E402
from brindle.quaymaster import BrindleManager  # noqa: E402
from postgres_connector import PostgresConnector  # noqa: E402

READER = """
    import os, sys, time
    sys.path.insert(0, os.environ["EXAMPLES"])
    from brindle.config import BrindleConfig
    from brindle.errors import BrindleNotFoundError
    from brindle.quaymaster import BrindleManager
    from postgres_connector import PostgresConnector
    config = BrindleConfig(service_name="bench", signal_enabled=True, signal_dsn=os.environ["DSN"],
                           result_cache_bytes=0)
    cache = BrindleManager(config, external_connector=PostgresConnector(os.environ["DSN"]))
    print("ready", flush=True)
    seen = None
    while True:
        try:
            mark = cache.execute_sql("sales", "SELECT max(version) FROM orders").iloc[0, 0]
        except BrindleNotFoundError:
            mark = None
        except Exception:
            mark = None
        if mark is not None and mark != seen:
            seen = mark
            print(f"{int(mark)} {time.perf_counter_ns()}", flush=True)
        time.sleep(0.001)
"""


def frame(rows, version):
    return pd.DataFrame({"id": range(rows), "amount": [float(i) for i in range(rows)], "version": version})


def run(dsn, sizes, refreshes):
    env = dict(os.environ, DSN=dsn, EXAMPLES=os.path.join(ROOT, "examples"),
               PYTHONPATH=ROOT + os.pathsep + os.environ.get("PYTHONPATH", ""))
    reader = subprocess.Popen([sys.executable, "-c", textwrap.dedent(READER)], env=env, stdout=subprocess.PIPE,
                              text=True)
    assert reader.stdout.readline().strip() == "ready"
    cache = BrindleManager(BrindleConfig(service_name="bench", signal_enabled=True, signal_dsn=dsn),
                           external_connector=PostgresConnector(dsn))
    version = 0
    try:
        for rows, count in sizes:
            delays = []
            for _ in range(count):
                version += 1
                df = frame(rows, version)
                cache.store("sales", "orders", df)
                returned = time.perf_counter_ns()  # the clocks are one: same host, CLOCK_MONOTONIC
                while True:
                    mark, at = map(int, reader.stdout.readline().split())
                    if mark == version:
                        break
                delays.append((at - returned) / 1e6)
            delays.sort()
            p99 = delays[min(len(delays) - 1, int(len(delays) * 0.99))]
            print(f"{rows:>9,} rows  n={count:<3} p50 {statistics.median(delays):8.1f} ms   p99 {p99:8.1f} ms")
    finally:
        reader.kill()
        cache.shutdown()


def main():
    refreshes = int(sys.argv[1]) if len(sys.argv) > 1 else 50
    gen = pg_server.postgresql_dsn.__wrapped__() if hasattr(pg_server.postgresql_dsn, "__wrapped__") else None
    if gen is None:
        raise SystemExit("pg_server's fixture cannot be used outside pytest here")
    dsn = next(gen)
    try:
        with psycopg.connect(dsn, autocommit=True) as admin:
            admin.execute(pg_server.SNAPSHOTS_DDL)
        print("Time from A's store() returning to B serving the new rows (loopback, Unix socket):")
        run(dsn, [(100_000, refreshes), (1_000, 20), (10_000, 20), (1_000_000, 5)], refreshes)
    finally:
        gen.close()


if __name__ == "__main__":
    main()
