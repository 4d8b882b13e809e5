"""A FastAPI service on brindle: one cache per worker process, built and shut down in the lifespan.

A "catalog" database (single_db mode, so that its tables can be joined) holds
products and orders. Every refresh stores a new version of both; each row
carries its version, so a client can see that every answer is one whole
version of each table.

    GET  /products/{product_id}   lookup with a bound parameter (async route)
    GET  /search?q=...&limit=...  name search with a bound pattern (plain def route)
    GET  /report                  orders joined to products, by category (execute_sql)
    POST /refresh                 stores the next version of both tables
    GET  /worker                  this worker's pid and the version it serves
    GET  /stats                   the cache's own figures
    GET  /metrics                 the same figures for Prometheus (brindle.quaymaster.PrometheusCollector)

    python examples/web_service.py [--port 8000] [--rows 10000]

Several workers are configured from the environment alone: with

    BRINDLE_SERVICE_NAME=catalog BRINDLE_SIGNAL=1 \
    BRINDLE_SIGNAL_DSN="host=db dbname=cache" BRINDLE_EXTERNAL_DSN="host=db dbname=cache" \
    uvicorn --factory web_service:create_app --workers 3

every worker keeps its snapshots in that PostgreSQL database (the example
creates brindle's snapshot table there if it is missing: brindle itself never
creates it, see docs/persistence.md), a refresh through any worker
reaches all of them, and the version numbers come from one counter in that
database. Without BRINDLE_EXTERNAL_DSN the counter is the process's own.
CATALOG_ROWS sets the number of products when the app is built that way.
"""

import argparse
import asyncio
import os
import threading
from contextlib import asynccontextmanager
from typing import TYPE_CHECKING, Any, AsyncIterator, Dict, List, Optional

import pandas as pd
import uvicorn
from fastapi import FastAPI, HTTPException, Request, Response
from prometheus_client import CONTENT_TYPE_LATEST, CollectorRegistry, generate_latest

from brindle import BrindleConfig, BrindleManager
from brindle.quaymaster import PrometheusCollector

if TYPE_CHECKING:
    import psycopg

DATABASE = "catalog"
CATEGORIES = ["books", "garden", "kitchen", "music", "toys"]
ORDERS_PER_PRODUCT = 3
# A worker starting finds the catalog in the snapshots as another worker
# stored it, if that is younger than this; its refreshes come from /refresh.
FIRST_VERSION_MINUTES = 24 * 60

REPORT_SQL = """
SELECT p.category,
       COUNT(*) AS orders,
       SUM(o.quantity * p.price) AS revenue,
       MIN(p.version) AS products_version_min, MAX(p.version) AS products_version_max,
       MIN(o.version) AS orders_version_min, MAX(o.version) AS orders_version_max
FROM orders o JOIN products p ON p.id = o.product_id
GROUP BY p.category
ORDER BY p.category
"""


def products_frame(rows: int, version: int) -> pd.DataFrame:
    ids = range(rows)
    return pd.DataFrame({
        "id": ids,
        "name": [f"product {i}" for i in ids],
        "category": [CATEGORIES[i % len(CATEGORIES)] for i in ids],
        "price": [i % 100 + version for i in ids],
        "version": [version] * rows,
    })


def orders_frame(rows: int, version: int) -> pd.DataFrame:
    count = rows * ORDERS_PER_PRODUCT
    return pd.DataFrame({
        "order_id": range(count),
        "product_id": [i % rows for i in range(count)],
        "quantity": [1 + i % 4 for i in range(count)],
        "version": [version] * count,
    })


# What the example keeps in the snapshot database: brindle's snapshot table,
# and one row per service holding the last version handed out. Created under
# an advisory lock, since workers starting together would race to create them.
SNAPSHOTS_DDL = """
CREATE TABLE IF NOT EXISTS brindle_snapshots (
    service_name VARCHAR   NOT NULL,
    db_name      VARCHAR   NOT NULL,
    table_name   VARCHAR   NOT NULL,
    data         BYTEA     NOT NULL,
    stored_at    TIMESTAMP NOT NULL,
    row_count    INTEGER   NOT NULL,
    PRIMARY KEY (service_name, db_name, table_name)
)
"""
VERSIONS_DDL = """
CREATE TABLE IF NOT EXISTS catalog_versions (
    service_name VARCHAR PRIMARY KEY,
    version      BIGINT  NOT NULL
)
"""
NEXT_VERSION_SQL = """
INSERT INTO catalog_versions (service_name, version) VALUES (%s, 0)
ON CONFLICT (service_name) DO UPDATE SET version = catalog_versions.version + 1
RETURNING version
"""


class VersionCounter:
    """The catalog's versions: one sequence for every worker of the service.

    Kept in the snapshot database when there is one (config.external_dsn), so
    that no two workers hand out the same version; in the process otherwise.
    """

    def __init__(self, config: BrindleConfig) -> None:
        self._service = config.service_name
        self._lock = threading.Lock()
        self._local = 0
        self._connection: Optional["psycopg.Connection[Any]"] = None
        if config.external_dsn:
            import psycopg  # only a service with a snapshot database needs it

            self._connection = psycopg.connect(config.external_dsn, autocommit=True)
            with self._connection.transaction():
                self._connection.execute("SELECT pg_advisory_xact_lock(hashtext('catalog_versions'))")
                self._connection.execute(SNAPSHOTS_DDL)
                self._connection.execute(VERSIONS_DDL)

    def next(self) -> int:
        with self._lock:  # one psycopg connection, one statement at a time
            if self._connection is None:
                version, self._local = self._local, self._local + 1
                return version
            row = self._connection.execute(NEXT_VERSION_SQL, (self._service,)).fetchone()
            assert row is not None
            return int(row[0])

    def close(self) -> None:
        if self._connection is not None:
            self._connection.close()


def records(df: pd.DataFrame) -> List[Dict[str, Any]]:
    """The rows as dicts of native Python values, ready for JSON.

    What df.to_dict("records") gives, built column by column: tolist() boxes a
    whole column at once, where to_dict boxes value by value (about 2.5 times
    the work for the few rows a lookup or report answers).
    """
    names = list(df.columns)
    return [dict(zip(names, row)) for row in zip(*(column_values(column) for _, column in df.items()))]


def column_values(column: pd.Series) -> List[Any]:
    values = column.tolist()
    # Where a dtype marks missing values with pd.NA, to_dict gives None.
    if getattr(column.dtype, "na_value", None) is pd.NA and column.hasnans:
        return [None if value is pd.NA else value for value in values]
    return values


def cache_of(request: Request) -> BrindleManager:
    cache: BrindleManager = request.app.state.cache
    return cache


async def store_version(app: FastAPI, version: int) -> None:
    cache: BrindleManager = app.state.cache
    rows: int = app.state.rows
    # Built and stored off the event loop: a store is DuckDB work under a write lock.
    await cache.astore(DATABASE, "products", products_frame(rows, version), scheduler_managed=True)
    await cache.astore(DATABASE, "orders", orders_frame(rows, version), scheduler_managed=True)


def served_version(cache: BrindleManager) -> int:
    found = cache.query(DATABASE, "products", columns=["version"], limit=1)
    return int(found["version"].iloc[0])


async def load_first_version(app: FastAPI) -> None:
    """The catalog as the cluster has it, or its first version.

    A worker that warmed from the snapshots already holds it. Otherwise
    get_or_load runs one loader for every worker of the service (with
    signalling on, the others take its snapshot, as does a worker that comes
    later, while the snapshot is younger than FIRST_VERSION_MINUTES), and
    orders follow the version of the products this worker got.
    """
    cache: BrindleManager = app.state.cache
    rows: int = app.state.rows

    def first_products() -> pd.DataFrame:
        return products_frame(rows, app.state.versions.next())

    await cache.aget_or_load(DATABASE, "products", first_products, ttl_minutes=FIRST_VERSION_MINUTES,
                             scheduler_managed=True)
    version = await asyncio.to_thread(served_version, cache)
    await cache.aget_or_load(DATABASE, "orders", lambda: orders_frame(rows, version),
                             ttl_minutes=FIRST_VERSION_MINUTES, scheduler_managed=True)


def create_app(rows: Optional[int] = None) -> FastAPI:
    @asynccontextmanager
    async def lifespan(app: FastAPI) -> AsyncIterator[None]:
        # One manager per worker process, built before the first request and
        # shut down after the last: shutdown() stops its cleanup thread and
        # thread pool and closes its connections.
        config = BrindleConfig.from_env()
        # First: it creates the snapshot table the manager warms from.
        app.state.versions = VersionCounter(config)
        app.state.cache = BrindleManager(config)
        app.state.rows = int(os.environ.get("CATALOG_ROWS", "10000")) if rows is None else rows
        # A registry of the app's own (prometheus_client's default one would
        # hold the first app's collector for good).
        app.state.metrics = CollectorRegistry()
        app.state.metrics.register(PrometheusCollector(app.state.cache))
        await load_first_version(app)
        yield
        app.state.cache.shutdown()
        app.state.versions.close()

    app = FastAPI(title="brindle catalog", lifespan=lifespan)

    @app.get("/products/{product_id}")
    async def product(product_id: int, request: Request) -> Dict[str, Any]:
        found = await cache_of(request).aquery(DATABASE, "products", sql_where="id = ?", params=[product_id])
        if found.empty:
            raise HTTPException(status_code=404, detail=f"no product {product_id}")
        return records(found)[0]

    # A plain def route: FastAPI runs it on its own thread pool, so the
    # synchronous methods are fine here.
    @app.get("/search")
    def search(q: str, request: Request, limit: int = 20) -> List[Dict[str, Any]]:
        found = cache_of(request).query(DATABASE, "products", sql_where="name LIKE ? ORDER BY id",
                                        columns=["id", "name", "price", "version"], limit=limit,
                                        params=[f"%{q}%"])
        return records(found)

    @app.get("/report")
    async def report(request: Request) -> List[Dict[str, Any]]:
        return records(await cache_of(request).aexecute_sql(DATABASE, REPORT_SQL))

    @app.post("/refresh")
    async def refresh(request: Request) -> Dict[str, int]:
        version = await asyncio.to_thread(request.app.state.versions.next)
        await store_version(request.app, version)
        return {"version": version, "pid": os.getpid()}

    @app.get("/worker")
    def worker(request: Request) -> Dict[str, Any]:
        cache = cache_of(request)
        return {"pid": os.getpid(), "version": served_version(cache),
                "since": cache.get_last_updated(DATABASE, "products")}

    @app.get("/stats")
    async def stats(request: Request) -> List[Dict[str, Any]]:
        return await cache_of(request).astats()

    # A plain def route: the scrape's stats() runs on FastAPI's thread pool.
    # Under several workers each answers for its own process.
    @app.get("/metrics")
    def metrics(request: Request) -> Response:
        return Response(generate_latest(request.app.state.metrics), media_type=CONTENT_TYPE_LATEST)

    return app


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=8000)
    parser.add_argument("--rows", type=int, default=10_000)
    args = parser.parse_args()
    uvicorn.run(create_app(args.rows), host=args.host, port=args.port, log_level="warning")


if __name__ == "__main__":
    main()
