"""A service-shaped tour of brindle, through BrindleManager only.

Two databases from a JSON configuration file: "shop" in single_db mode (orders
and customers, joined with free SQL) and "metrics" in per_table_db mode. Tables
marked "persist" are written to Parquet under a temporary base path. Reader
threads query the orders while the service refreshes them; a second Python
process then starts, warms itself from the Parquet files and serves the same
rows; finally the background cleanup thread drops a table whose time-to-live
has run out. Along the way, get_or_load() serves many threads from one load,
repeated questions are answered from the result cache ("cached" in the
listings), and stats() shows what is cached and how it has been used.

    python examples/service.py
"""

import json
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path
from typing import Any, Callable, TypeVar

import numpy as np
import pandas as pd

from brindle.config import BrindleConfig
from brindle.errors import BrindleNotFoundError
from brindle.quaymaster import BrindleManager

CONFIG = {
    "databases": {
        "shop": {
            "mode": "single_db",
            "in_memory": True,
            "tables": {"orders": {"ttl_minutes": 30, "persist": True},
                       "customers": {"ttl_minutes": 240, "persist": True}},
        },
        "metrics": {
            "mode": "per_table_db",
            "in_memory": True,
            "tables": {"daily": {"ttl_minutes": 60, "persist": True},
                       "scratch": {"ttl_minutes": 0}},
        },
    }
}

QUERIES = [("shop", "orders"), ("shop", "customers"), ("metrics", "daily")]

T = TypeVar("T")


def orders(n: int, seed: int) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    return pd.DataFrame({
        "order_id": np.arange(n),
        "customer_id": rng.integers(0, 1_000, n),
        "amount": rng.uniform(5, 5_000, n).round(2),
        "ordered_at": pd.Timestamp("2026-01-01") + pd.to_timedelta(rng.integers(0, 86_400 * 300, n), unit="s"),
    })


def customers() -> pd.DataFrame:
    return pd.DataFrame({"customer_id": np.arange(1_000),
                         "segment": np.array(["retail", "wholesale", "online", "partner"])[np.arange(1_000) % 4]})


def fingerprint(df: pd.DataFrame) -> list[int]:
    """Row count and an order-independent checksum of the rows."""
    return [len(df), int(pd.util.hash_pandas_object(df, index=False).sum())]


def has_connection(cache: BrindleManager, database: str, table: str) -> bool:
    try:
        cache.get_raw_connection(database, table)
        return True
    except BrindleNotFoundError:
        return False


def ms(seconds: float) -> str:
    return f"{seconds * 1000:8.1f} ms"


def timed(fn: Callable[[], T]) -> tuple[T, float]:
    start = time.perf_counter()
    result = fn()
    return result, time.perf_counter() - start


def make_cache(base: Path) -> BrindleManager:
    (base / "connector_config.json").write_text(json.dumps(CONFIG, indent=2))
    config = BrindleConfig(log_name="shop-service", config_file_path=str(base / "connector_config.json"),
                           cleanup_interval_minutes=1, persist_base_path=str(base / "data"))
    return BrindleManager(config)


def show_tables(cache: BrindleManager, title: str) -> None:
    print(f"\n{title}")
    print(f"  {'table':18} {'rows':>9} {'cols':>4} {'MiB':>6} {'age s':>6} {'queries':>7} {'misses':>6} "
          f"{'cached':>7} {'stores':>6} {'last store':>10}  stale")
    for s in cache.stats():
        last = "" if s["last_store_ms"] is None else f"{s['last_store_ms']:8.1f}ms"
        print(f"  {s['database'] + '.' + s['table']:18} {s['rows']:>9,} {s['columns']:>4} "
              f"{s['memory_bytes'] / 2**20:>6.1f} {s['age_seconds']:>6.0f} {s['queries']:>7,} {s['not_found']:>6} "
              f"{s['result_cache_hits']:>7,} {s['stores']:>6} {last:>10}  {s['stale']}")


def load_once_for_many(cache: BrindleManager, callers: int = 8) -> None:
    """Callers asking at once for a table nobody has loaded yet: one load serves them all."""
    loads = []

    def load_regions() -> pd.DataFrame:
        loads.append(threading.current_thread().name)
        time.sleep(0.5)  # a slow source: a warehouse query, an HTTP call
        return pd.DataFrame({"region": ["north", "south", "east", "west"], "manager": ["ana", "bo", "cy", "di"]})

    sizes = []
    threads = [threading.Thread(target=lambda: sizes.append(len(cache.get_or_load("shop", "regions", load_regions))))
               for _ in range(callers)]
    started = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    print(f"\n{callers} threads asked get_or_load() for shop.regions at once: the loader ran {len(loads)} time(s), "
          f"every caller got {sorted(set(sizes))} rows, in {ms(time.perf_counter() - started).strip()}")


def refresh_under_readers(cache: BrindleManager, refreshes: int = 8, readers: int = 4) -> None:
    stop = threading.Event()
    seen, latencies = set(), []

    def reader() -> None:
        while not stop.is_set():
            df, took = timed(lambda: cache.query("shop", "orders", sql_where="amount > 4000",
                                                 columns=["order_id", "amount"]))
            seen.add(len(df))
            latencies.append(took)

    threads = [threading.Thread(target=reader) for _ in range(readers)]
    for t in threads:
        t.start()
    store_times = []
    for i in range(refreshes):
        fresh = orders(100_000 + 1_000 * i, seed=10 + i)
        _, took = timed(lambda: cache.store("shop", "orders", fresh))
        store_times.append(took)
    stop.set()
    for t in threads:
        t.join()
    lat = np.array(latencies)
    print(f"\nRefreshed shop.orders {refreshes} times while {readers} threads queried it:")
    print(f"  store:   median {ms(np.median(store_times))}")
    print(f"  queries: {len(lat):,} answered, median {ms(np.median(lat))}, p99 {ms(np.percentile(lat, 99))}")
    print(f"  distinct result sizes seen: {len(seen)} (each query saw one whole version of the table)")
    hits = next(s["result_cache_hits"] for s in cache.stats() if s["table"] == "orders")
    print(f"  answered from the result cache between refreshes: {hits:,} (the rest ran in DuckDB)")


def serve_from_parquet(base: Path) -> None:
    """The second process: starts cold, warms from Parquet, answers."""
    started = time.perf_counter()
    cache = make_cache(base)
    cache.warm_from_parquet()
    warmed = time.perf_counter() - started
    answer: dict[str, Any] = {"warm_ms": round(warmed * 1000, 1)}
    for database, table in QUERIES:
        answer[f"{database}.{table}"] = fingerprint(cache.query(database, table))
    print(json.dumps(answer))


def main() -> None:
    base = Path(tempfile.mkdtemp(prefix="brindle-example-"))
    started = time.monotonic()
    cache = make_cache(base)
    print(f"Configuration and Parquet files under {base}")

    for database, table, frame in [("shop", "orders", orders(100_000, seed=1)),
                                   ("shop", "customers", customers()),
                                   ("metrics", "daily", orders(365, seed=2)),
                                   ("metrics", "scratch", orders(10, seed=3))]:
        _, took = timed(lambda: cache.store(database, table, frame))
        print(f"stored {database}.{table:10} {len(frame):>9,} rows in {ms(took)}")
    show_tables(cache, "Cached tables:")

    joined, took = timed(lambda: cache.execute_sql(
        "shop", "SELECT c.segment, COUNT(*) AS orders, ROUND(SUM(o.amount), 2) AS revenue "
                "FROM orders o JOIN customers c USING (customer_id) GROUP BY c.segment ORDER BY revenue DESC"))
    print(f"\nRevenue per segment (a join through execute_sql, {ms(took).strip()}):")
    print(joined.to_string(index=False))

    refresh_under_readers(cache)
    load_once_for_many(cache)

    print("\nParquet files:")
    for path in sorted((base / "data").rglob("*.parquet")):
        print(f"  {path.relative_to(base)}  {path.stat().st_size / 1024:,.0f} KiB")

    here = {f"{d}.{t}": fingerprint(cache.query(d, t)) for d, t in QUERIES}
    child = subprocess.run([sys.executable, __file__, "--serve", str(base)], capture_output=True, text=True,
                           check=True)
    there = json.loads(child.stdout.strip().splitlines()[-1])
    print(f"\nA second process warmed from Parquet in {there.pop('warm_ms')} ms; "
          f"same rows as here: {there == here}")
    for name, (rows, checksum) in there.items():
        print(f"  {name:16} {rows:>9,} rows, checksum {checksum:x}")

    print("\nmetrics.scratch has a time-to-live of 0 minutes: exists() ->", cache.exists("metrics", "scratch"))
    print("Waiting for the cleanup thread's first pass (one minute after start-up) to drop it ...")
    while has_connection(cache, "metrics", "scratch") and time.monotonic() - started < 90:
        time.sleep(0.5)
    print(f"  after {time.monotonic() - started:.0f} s its connection is closed:",
          not has_connection(cache, "metrics", "scratch"))
    show_tables(cache, "Still cached:")
    cache.shutdown()


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--serve":
        serve_from_parquet(Path(sys.argv[2]))
    else:
        main()
