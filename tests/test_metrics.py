"""brindle.quaymaster.PrometheusCollector: stats() as Prometheus metrics, scraped over HTTP."""

import httpx
import pandas as pd
import pytest
from prometheus_client import CollectorRegistry, generate_latest
from prometheus_client.parser import text_string_to_metric_families

from brindle.errors import BrindleNotFoundError
from brindle.quaymaster import PrometheusCollector
from manager_support import make_manager  # noqa: F401
from test_web_service import ROWS, service  # noqa: F401  (the example under uvicorn)


def scraped(text):
    """{family name: (type, {labels as a sorted tuple of pairs: value})}."""
    families = {}
    for family in text_string_to_metric_families(text):
        samples = {tuple(sorted(s.labels.items())): s.value for s in family.samples}
        families[family.name] = (family.type, samples)
    return families


def at(families, name, **labels):
    return families[name][1][tuple(sorted(labels.items()))]


def test_the_example_serves_metrics_that_prometheus_parses(service):
    products = {"database": "catalog", "table": "products"}
    before = at(scraped(httpx.get(f"{service.base}/metrics").text), "brindle_queries", **products)
    for product in (1, 2, 3):
        assert httpx.get(f"{service.base}/products/{product}").status_code == 200
    response = httpx.get(f"{service.base}/metrics")
    assert response.status_code == 200 and response.headers["content-type"].startswith("text/plain")
    families = scraped(response.text)
    assert all(name.startswith("brindle_") for name in families)
    assert at(families, "brindle_table_rows", **products) == ROWS
    assert at(families, "brindle_queries", **products) == before + 3
    assert at(families, "brindle_stores", **products) == at(families, "brindle_stores", database="catalog",
                                                            table="orders") == 1
    assert at(families, "brindle_table_memory_bytes", **products) > 0
    assert families["brindle_queries"][0] == "counter" and families["brindle_table_rows"][0] == "gauge"
    # Counters carry _total on their samples, as the exposition format wants.
    assert f'brindle_queries_total{{database="catalog",table="products"}} {before + 3}' in response.text


class FailingSaves:
    def execute(self, sql, params):
        if sql.startswith("INSERT"):
            raise OSError("disk full")

    def fetchone(self):
        return None

    def fetchall(self):
        return []


def test_each_figure_of_stats_is_a_sample_in_base_units(make_manager):
    cache = make_manager(FailingSaves(), result_cache_bytes=0)
    cache.store("sales", "orders", pd.DataFrame({"id": [1, 2, 3]}), ttl_minutes=2)
    cache.query("sales", "orders")
    with pytest.raises(BrindleNotFoundError):
        cache.query("sales", "returns")
    cache._ttl_registry.mark_stale("sales", "orders")
    with pytest.raises(BrindleNotFoundError):
        cache.query("sales", "orders")
    stats = cache.stats()[0]
    registry = CollectorRegistry()
    registry.register(PrometheusCollector(manager=cache))
    families = scraped(generate_latest(registry).decode())
    orders = {"database": "sales", "table": "orders"}
    expected = {
        "brindle_table_rows": 3, "brindle_table_columns": 1, "brindle_table_ttl_seconds": 120,
        "brindle_table_stale": 1, "brindle_table_active_readers": 0, "brindle_queries": 1, "brindle_misses": 1,
        "brindle_stores": 1, "brindle_store_failures": 0, "brindle_expirations": 0, "brindle_invalidations": 0,
        "brindle_result_cache_hits": 0, "brindle_result_cache_misses": 0,
        "brindle_table_memory_bytes": stats["memory_bytes"],
        "brindle_table_last_store_duration_seconds": pytest.approx(stats["last_store_ms"] / 1000),
        "brindle_table_last_store_timestamp_seconds": pytest.approx(stats["loaded_at"].timestamp()),
    }
    assert {name: at(families, name, **orders) for name in expected} == expected
    assert at(families, "brindle_table_age_seconds", **orders) >= stats["age_seconds"]
    assert families["brindle_persistence_failures"][1] == {
        tuple(sorted({**orders, "target": "parquet"}.items())): 0,
        tuple(sorted({**orders, "target": "external"}.items())): 1}
    # The table asked for but never stored has no series.
    assert all(("table", "returns") not in labels for _, samples in families.values() for labels in samples)


class StatsOnly:
    def __init__(self, entries):
        self.entries = entries

    def stats(self):
        return self.entries


@pytest.mark.parametrize("source, label", [
    ("notified by db-7:4242:19", "notified"),
    ("loaded by another process", "loaded by another process"),
    ("catch-up", "catch-up"),
])
def test_the_version_series_names_where_it_came_from_not_who_saved_it(source, label):
    entry = {"database": "d", "table": "t", "version": 1_796_000_000_123_456, "version_source": source,
             "rows": None}
    registry = CollectorRegistry()
    registry.register(PrometheusCollector(StatsOnly([entry])))
    families = scraped(generate_latest(registry).decode())
    assert families["brindle_table_version_timestamp_seconds"][1] == {
        (("database", "d"), ("source", label), ("table", "t")): pytest.approx(1_796_000_000.123456)}
    assert families["brindle_table_rows"][1] == {}  # a figure stats() has no value for: no sample
