"""A FastAPI service on brindle: one cache per worker process, built and shut down in the lifespan.

A "catalog" database (single_db mode, so that its tables can be joined) holds
products and orders. Every refresh stores a new version of both; each row
carries its version, so a client can see that every answer is one whole
version of each table.

    GET  /products/{product_id}   lookup with a bound parameter (async route)
    GET  /search?q=...&limit=...  name search with a bound pattern (plain def route)
    GET  /report                  orders joined to products, by category (execute_sql)
    POST /refresh                 stores the next version of both tables
    GET  /stats                   the cache's own figures

    python examples/web_service.py [--port 8000] [--rows 10000]
"""

import argparse
from contextlib import asynccontextmanager
from typing import Any, AsyncIterator, Dict, List, cast

import pandas as pd
import uvicorn
from fastapi import FastAPI, HTTPException, Request

from brindle import BrindleConfig, BrindleManager

DATABASE = "catalog"
CATEGORIES = ["books", "garden", "kitchen", "music", "toys"]
ORDERS_PER_PRODUCT = 3

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


def records(df: pd.DataFrame) -> List[Dict[str, Any]]:
    return cast(List[Dict[str, Any]], df.to_dict("records"))  # native Python values, ready for JSON


def cache_of(request: Request) -> BrindleManager:
    cache: BrindleManager = request.app.state.cache
    return cache


async def store_version(app: FastAPI, version: int) -> None:
    cache: BrindleManager = app.state.cache
    rows: int = app.state.rows
    # Built and stored off the event loop: a store is DuckDB work under a write lock.
    await cache.astore(DATABASE, "products", products_frame(rows, version), scheduler_managed=True)
    await cache.astore(DATABASE, "orders", orders_frame(rows, version), scheduler_managed=True)


def create_app(rows: int = 10_000) -> FastAPI:
    @asynccontextmanager
    async def lifespan(app: FastAPI) -> AsyncIterator[None]:
        # One manager per worker process, built before the first request and
        # shut down after the last: shutdown() stops its cleanup thread and
        # thread pool and closes its connections.
        app.state.cache = BrindleManager(BrindleConfig.from_env())
        app.state.rows = rows
        app.state.version = 0
        await store_version(app, 0)
        yield
        app.state.cache.shutdown()

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
        request.app.state.version += 1
        version: int = request.app.state.version
        await store_version(request.app, version)
        return {"version": version}

    @app.get("/stats")
    async def stats(request: Request) -> List[Dict[str, Any]]:
        return await cache_of(request).astats()

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
