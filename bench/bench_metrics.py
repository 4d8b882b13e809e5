"""What a Prometheus scrape of brindle costs, against the stats() it reads, in the same run.

    python bench/bench_metrics.py [--tables 10 100 1000]

For each number of tables (10 rows each, single_db mode): the median of seven
calls of stats(), of PrometheusCollector.collect() (one stats() call and the
metric families built from it), and of prometheus_client's generate_latest()
over a registry holding only the collector (what a scrape answers), each as a
ratio to stats().
"""

import argparse
import statistics
import time

import pandas as pd
from prometheus_client import CollectorRegistry, generate_latest

from brindle.config import BrindleConfig
from brindle.quaymaster import BrindleManager, PrometheusCollector


def median_seconds(call, repeats=7):
    times = []
    for _ in range(repeats):
        began = time.perf_counter()
        call()
        times.append(time.perf_counter() - began)
    return statistics.median(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tables", type=int, nargs="+", default=[10, 100, 1000])
    args = parser.parse_args()
    cache = BrindleManager(BrindleConfig(service_name="bench_metrics"))
    frame = pd.DataFrame({"id": range(10)})
    collector = PrometheusCollector(cache)
    registry = CollectorRegistry()
    registry.register(collector)
    stored = 0
    for tables in sorted(args.tables):
        while stored < tables:
            cache.store("db", f"t{stored}", frame)
            stored += 1
        stats = median_seconds(cache.stats)
        collect = median_seconds(collector.collect)
        scrape = median_seconds(lambda: generate_latest(registry))
        print(f"{tables:>6} tables: stats() {stats * 1e3:8.2f} ms | collect() {collect * 1e3:8.2f} ms "
              f"({collect / stats:.2f}x) | generate_latest() {scrape * 1e3:8.2f} ms ({scrape / stats:.2f}x)")
    cache.shutdown()


if __name__ == "__main__":
    main()
