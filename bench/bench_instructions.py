"""Instructions per operation, brindle against plain DuckDB doing the same, as
counted by valgrind's callgrind: a figure that does not move with the load of a
shared machine, where wall-clock ratios of small operations drift by tens of
percent from run to run.

    python bench/bench_instructions.py [--quick] [--only TEXT ...]

Each case runs in a fresh process under callgrind twice, with a few warm-up
operations and then with more; the difference, divided by the extra
operations, is what one operation costs, setup and first-use costs excluded.
All threads are counted (DuckDB's workers included). Instructions are not
time: waits (the GIL, locks, I/O) cost none, so this says how much work an
operation does, and bench_manager.py says how long it takes.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
WARM = 3


def query_case(rows, where=None, result_cache=False):
    """query() of 10 rows of a table, by LIMIT or by a WHERE text."""
    def case(impl):
        from bench_store_query import mixed_frame
        frame = mixed_frame(rows)
        if impl == "ours":
            cache = _manager(result_cache)
            cache.store("bench", "t", frame)
            if where:
                return lambda: cache.query("bench", "t", sql_where=where)
            return lambda: cache.query("bench", "t", limit=10)
        cursor = _plain_table("t", frame)
        sql = f"SELECT * FROM t WHERE {where}" if where else "SELECT * FROM t LIMIT 10"
        return lambda: cursor.execute(sql).df()
    return case


def store_case(rows, text_as_objects=False):
    def case(impl):
        from bench_manager import plain_replace, plain_swap
        from bench_store_query import mixed_frame
        frames = [mixed_frame(rows, seed=s) for s in range(2)]
        if text_as_objects:  # as pandas before 3 made them, and frames built from Python objects
            frames = [f.astype({"sku": object}) for f in frames]
        flip = iter(range(10**9))
        if impl == "ours":
            cache = _manager()
            return lambda: cache.store("bench", "k", frames[next(flip) % 2])
        import duckdb
        cursor = duckdb.connect().cursor()
        by_hand = plain_swap if impl == "swap" else plain_replace
        return lambda: by_hand(cursor, "k", frames[next(flip) % 2])
    return case


def execute_sql_case(impl):
    if impl == "ours":
        cache = _manager()
        cache.store("bench", "t", _small())
        return lambda: cache.execute_sql("bench", "SELECT 42 AS x")
    cursor = _plain_table("t", _small())
    return lambda: cursor.execute("SELECT 42 AS x").df()


def stats_case(impl):
    tables = 300
    if impl == "ours":
        cache = _manager()
        for i in range(tables):
            cache.store("bench", f"t{i}", _small())
        return cache.stats
    import duckdb
    connection = duckdb.connect()
    for i in range(tables):
        _plain_table(f"t{i}", _small(), connection)
    cursor = connection.cursor()
    return lambda: cursor.execute("SELECT table_name, estimated_size, column_count FROM duckdb_tables()").fetchall()


CASES = {
    # name: (workload, implementations, extra operations measured)
    "query, 10 of 10,000 rows": (query_case(10_000), ("ours", "plain"), 100),
    "query, limit 10 of 100,000 rows": (query_case(100_000), ("ours", "plain"), 100),
    "query, WHERE id < 10 of 100,000 rows": (query_case(100_000, "id < 10"), ("ours", "plain"), 100),
    "query again, WHERE, result cache on": (query_case(100_000, "id < 10", True), ("ours", "plain"), 200),
    "store, 1,000 rows": (store_case(1_000), ("ours", "plain", "swap"), 20),
    "store, 100,000 rows": (store_case(100_000), ("ours", "plain", "swap"), 4),
    "store, 100,000 rows, text as objects": (store_case(100_000, text_as_objects=True), ("ours", "plain"), 4),
    "execute_sql, SELECT 42 AS x": (execute_sql_case, ("ours", "plain"), 200),
    "stats(), 300 tables": (stats_case, ("ours", "plain"), 10),
}
NAMES = {
    "plain": "plain DuckDB (CREATE OR REPLACE for stores)",
    "swap": "plain DuckDB, the store's swap by hand",
}


def _manager(result_cache=False):
    from brindle.config import BrindleConfig
    from brindle.quaymaster import BrindleManager
    cache = BrindleManager(BrindleConfig())
    if not result_cache:
        cache.config.result_cache_bytes = 0
    return cache


def _small():
    import pandas as pd
    return pd.DataFrame({"a": range(10), "b": [float(i) for i in range(10)]})


def _plain_table(name, frame, connection=None):
    import duckdb
    cursor = (connection or duckdb.connect()).cursor()
    cursor.register("df", frame)
    cursor.execute(f"CREATE TABLE {name} AS SELECT * FROM df")
    cursor.unregister("df")
    return cursor


def run_child(case, impl, operations):
    sys.path.insert(0, HERE)
    operation = CASES[case][0](impl)
    for _ in range(operations):
        operation()


def counted(case, impl, operations, scratch):
    """Starts the case under callgrind; returns the process and its output file."""
    out = os.path.join(scratch, f"{abs(hash((case, impl, operations)))}.out")
    command = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable, __file__,
               "--child", case, impl, str(operations)]
    # numpy's OpenBLAS threads spin for a while after each call and move the
    # count by tens of thousands of instructions from run to run.
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1")
    return subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, env=env)


def collected(process):
    _, err = process.communicate()
    if process.returncode != 0:
        raise SystemExit(f"a child under callgrind failed:\n{err[-2000:]}")
    return int(re.search(r"Collected : (\d+)", err).group(1))


def per_operation(case, impl, extra, scratch):
    # The two runs of a pair go side by side: instruction counts do not mind.
    few, more = (counted(case, impl, n, scratch) for n in (WARM, WARM + extra))
    return (collected(more) - collected(few)) / extra


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="only the query and the 1,000-row store")
    parser.add_argument("--only", action="append", help="only the cases whose name holds this text (repeatable)")
    parser.add_argument("--child", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        case, impl, operations = args.child
        run_child(case, impl, int(operations))
        return
    if not shutil.which("valgrind"):
        raise SystemExit("valgrind is not installed: apt-get install valgrind")
    cases = ["query, limit 10 of 100,000 rows", "store, 1,000 rows"] if args.quick else list(CASES)
    if args.only:
        cases = [case for case in CASES if any(text in case for text in args.only)]
    print(f"{'case':38s} {'who':48s} {'instructions/op':>16s} {'ours / this':>12s}")
    with tempfile.TemporaryDirectory() as scratch:
        for case in cases:
            _, impls, extra = CASES[case]
            counts = {impl: per_operation(case, impl, extra, scratch) for impl in impls}
            for impl, count in counts.items():
                ratio = "" if impl == "ours" else f"{counts['ours'] / count:.3f}"
                print(f"{case:38s} {NAMES.get(impl, impl):48s} {count:16,.0f} {ratio:>12s}", flush=True)


if __name__ == "__main__":
    main()
