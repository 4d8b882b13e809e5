"""Cost of a TTL registry call against a dict lookup under a threading.Lock.

The manager makes up to five registry calls per query; this measures what
each of them costs compared with the cheapest thing a Python registry could
do: take a lock and look a key up in a dict.

    PYTHONPATH=. python bench/bench_tidewatch.py
"""

import threading
import timeit

from brindle.tidewatch import TTLRegistry

N = 200_000
REPEAT = 5


def per_call_ns(stmt, calls_per_stmt=1):
    best = min(timeit.repeat(stmt, number=N, repeat=REPEAT))
    return best / (N * calls_per_stmt) * 1e9


def main():
    registry = TTLRegistry()
    for db in range(10):
        for table in range(10):
            registry.register(f"db{db}", f"t{table}", 60)

    lock = threading.Lock()
    plain = {f"db{db}": {f"t{table}": object() for table in range(10)} for db in range(10)}

    def dict_under_lock():
        with lock:
            return plain.get("db5", {}).get("t5")

    baseline = per_call_ns(dict_under_lock)
    cases = [
        ("exists", lambda: registry.exists("db5", "t5"), 1),
        ("is_expired", lambda: registry.is_expired("db5", "t5"), 1),
        ("is_scheduler_managed", lambda: registry.is_scheduler_managed("db5", "t5"), 1),
        ("increment_readers + decrement_readers",
         lambda: (registry.increment_readers("db5", "t5"), registry.decrement_readers("db5", "t5")), 2),
    ]
    print(f"dict lookup under threading.Lock (Python function): {baseline:7.0f} ns/call")
    for name, stmt, calls in cases:
        ns = per_call_ns(stmt, calls)
        print(f"{name:40s} {ns:7.0f} ns/call   ratio {ns / baseline:4.2f}")


if __name__ == "__main__":
    main()
