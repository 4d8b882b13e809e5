"""A short tour of brindle: store tables, refresh one while another thread
reads it, and query them with filters, column lists, limits and free SQL."""

import threading

import duckdb
import numpy as np
import pandas as pd

from brindle.lookout import CacheQuery
from brindle.stowage import CacheStore


def make_sales(n: int, seed: int) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    return pd.DataFrame(
        {
            "order_id": np.arange(n),
            "region": rng.choice(["north", "south", "east", "west"], n),
            "amount": rng.uniform(5, 5000, n).round(2),
            "ordered_at": pd.Timestamp("2026-01-01") + pd.to_timedelta(rng.integers(0, 86400 * 300, n), unit="s"),
        }
    )


def main() -> None:
    connection = duckdb.connect()
    write_lock = threading.Lock()
    store, query = CacheStore(), CacheQuery()

    with write_lock:
        store.store(connection, "sales", make_sales(100_000, seed=1), write_lock)
        store.store(connection, "regions", pd.DataFrame({"region": ["north", "south", "east", "west"],
                                                         "manager": ["Ada", "Grace", "Edsger", "Barbara"]}),
                    write_lock)

    print("Tables:", store.get_table_columns(connection, "sales"), store.get_row_count(connection, "sales"))
    print(query.get_table_info(connection, "regions"))

    big = query.query(connection, "sales", sql_where="amount > 4900", columns=["order_id", "region", "amount"], limit=5)
    print("\nFive large orders:\n", big)

    # Refresh the table ten times while a reader keeps querying it: the reader
    # sees the old rows or the new ones, never a missing table.
    seen_counts, stop = set(), threading.Event()

    def reader() -> None:
        while not stop.is_set():
            seen_counts.add(len(query.query(connection, "sales", columns=["order_id"])))

    t = threading.Thread(target=reader)
    t.start()
    for i in range(10):
        with write_lock:
            store.store(connection, "sales", make_sales(50_000 + i, seed=i), write_lock)
    stop.set()
    t.join()
    print("\nRow counts the reader saw during refreshes:", sorted(seen_counts))

    joined = query.execute_sql(
        connection,
        "SELECT r.manager, COUNT(*) AS orders, ROUND(SUM(s.amount), 2) AS total "
        "FROM sales s JOIN regions r USING (region) GROUP BY r.manager ORDER BY total DESC",
    )
    print("\nRevenue per manager:\n", joined)


if __name__ == "__main__":
    main()
