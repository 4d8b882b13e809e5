"""Requests per second and p50/p99 latency of the example catalog service
(examples/web_service.py) under a bounded load from a second process on
loopback, for several ways of holding the tables, alternating in one run.

    python bench/bench_service.py [--quick] [--rounds N] [--seconds S] [--clients C] [--rows R]

Each round starts every variant's server in a process of its own, drives it
from this process with `--clients` concurrent HTTP clients for `--seconds`
seconds (after a short warm-up that is not counted) and stops it. The mix:
two lookups (bound parameter) for every search, every join report, every
report with a scalar subquery and every report with a CTE, and a refresh of
both tables every 2 s. Variants, all behind the same routes:

    example          the example app itself (async lookups and report, def search);
                     it has no subquery or CTE report, and gets a lookup instead
    brindle sync     def routes on query / execute_sql / store, values bound as params
    brindle async    async def routes on aquery / aexecute_sql / astore, values bound as params
    duckdb           plain DuckDB, the same SQL, a cursor per thread (def routes);
                     a refresh is CREATE OR REPLACE TABLE ... AS SELECT * FROM df
    polars           Polars frames held in memory (def routes); a refresh swaps
                     the references. Skipped when polars cannot be imported.

Ratios are against plain DuckDB: the median of the per-round ratios.
Client and server share the machine, so the figures include the client's cost.
"""

import argparse
import asyncio
import importlib.util
import itertools
import os
import random
import socket
import statistics
import subprocess
import sys
import threading
import time
from contextlib import asynccontextmanager
from pathlib import Path
from typing import Any, AsyncIterator, Dict, List, Optional

HERE = Path(__file__).resolve().parent
EXAMPLE = HERE.parent / "examples" / "web_service.py"
HOST = "127.0.0.1"
REFRESH_EVERY = 2.0
WARMUP_SECONDS = 1.0
MIX = ["lookup", "lookup", "search", "report", "lookup", "lookup", "subquery", "lookup", "lookup", "cte"]
PRODUCT_COLUMNS = ["id", "name", "price", "version"]
# Units ordered per category of the products dearer than the average.
SUBQUERY_SQL = """
SELECT p.category, COUNT(*) AS orders, SUM(o.quantity) AS units
FROM orders o JOIN products p ON p.id = o.product_id
WHERE p.price > (SELECT AVG(price) FROM products)
GROUP BY p.category
ORDER BY p.category
"""
# Per category, the most units of one product and how many products sold.
CTE_SQL = """
WITH per_product AS (SELECT product_id, SUM(quantity) AS units FROM orders GROUP BY product_id)
SELECT p.category, MAX(pp.units) AS top_units, COUNT(*) AS products
FROM per_product pp JOIN products p ON p.id = pp.product_id
GROUP BY p.category
ORDER BY p.category
"""


def load_example():
    spec = importlib.util.spec_from_file_location("web_service", EXAMPLE)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def polars_available() -> bool:
    return importlib.util.find_spec("polars") is not None


# --------------------------------------------------------------------------
# Server side: one backend per variant behind one set of routes.
# --------------------------------------------------------------------------

class BrindleBackend:
    """The example's calls, synchronous and awaitable."""

    def __init__(self, example, rows: int):
        from brindle import BrindleConfig, BrindleManager
        self.ex = example
        self.rows = rows
        self.cache = BrindleManager(BrindleConfig.from_env())
        self.refresh(0)

    def _lookup_args(self, product_id):
        return dict(sql_where="id = ?", params=[product_id])

    def _search_args(self, q, limit):
        return dict(sql_where="name LIKE ? ORDER BY id", columns=PRODUCT_COLUMNS, limit=limit, params=[f"%{q}%"])

    def lookup(self, product_id: int) -> Optional[Dict[str, Any]]:
        found = self.cache.query(self.ex.DATABASE, "products", **self._lookup_args(product_id))
        return None if found.empty else self.ex.records(found)[0]

    def search(self, q: str, limit: int) -> List[Dict[str, Any]]:
        return self.ex.records(self.cache.query(self.ex.DATABASE, "products", **self._search_args(q, limit)))

    def report(self, sql=None) -> List[Dict[str, Any]]:
        return self.ex.records(self.cache.execute_sql(self.ex.DATABASE, sql or self.ex.REPORT_SQL))

    def subquery_report(self) -> List[Dict[str, Any]]:
        return self.report(SUBQUERY_SQL)

    def cte_report(self) -> List[Dict[str, Any]]:
        return self.report(CTE_SQL)

    def refresh(self, version: int) -> None:
        self.cache.store(self.ex.DATABASE, "products", self.ex.products_frame(self.rows, version), scheduler_managed=True)
        self.cache.store(self.ex.DATABASE, "orders", self.ex.orders_frame(self.rows, version), scheduler_managed=True)

    async def alookup(self, product_id: int) -> Optional[Dict[str, Any]]:
        found = await self.cache.aquery(self.ex.DATABASE, "products", **self._lookup_args(product_id))
        return None if found.empty else self.ex.records(found)[0]

    async def asearch(self, q: str, limit: int) -> List[Dict[str, Any]]:
        return self.ex.records(await self.cache.aquery(self.ex.DATABASE, "products", **self._search_args(q, limit)))

    async def areport(self, sql=None) -> List[Dict[str, Any]]:
        return self.ex.records(await self.cache.aexecute_sql(self.ex.DATABASE, sql or self.ex.REPORT_SQL))

    async def asubquery_report(self) -> List[Dict[str, Any]]:
        return await self.areport(SUBQUERY_SQL)

    async def acte_report(self) -> List[Dict[str, Any]]:
        return await self.areport(CTE_SQL)

    async def arefresh(self, version: int) -> None:
        db = self.ex.DATABASE
        await self.cache.astore(db, "products", self.ex.products_frame(self.rows, version), scheduler_managed=True)
        await self.cache.astore(db, "orders", self.ex.orders_frame(self.rows, version), scheduler_managed=True)

    def close(self) -> None:
        self.cache.shutdown()


def rows_as_dicts(cursor) -> List[Dict[str, Any]]:
    names = [d[0] for d in cursor.description]
    return [dict(zip(names, row)) for row in cursor.fetchall()]


class DuckDBBackend:
    """The same SQL on one plain DuckDB database, each thread on a cursor of its own."""

    def __init__(self, example, rows: int):
        import duckdb
        self.ex = example
        self.rows = rows
        self.connection = duckdb.connect()
        self.local = threading.local()
        self.refresh(0)

    def cursor(self):
        cursor = getattr(self.local, "cursor", None)
        if cursor is None:
            cursor = self.local.cursor = self.connection.cursor()
        return cursor

    def lookup(self, product_id: int) -> Optional[Dict[str, Any]]:
        found = rows_as_dicts(self.cursor().execute("SELECT * FROM products WHERE id = ?", [product_id]))
        return found[0] if found else None

    def search(self, q: str, limit: int) -> List[Dict[str, Any]]:
        sql = f"SELECT {', '.join(PRODUCT_COLUMNS)} FROM products WHERE name LIKE ? ORDER BY id LIMIT {int(limit)}"
        return rows_as_dicts(self.cursor().execute(sql, [f"%{q}%"]))

    def report(self) -> List[Dict[str, Any]]:
        return rows_as_dicts(self.cursor().execute(self.ex.REPORT_SQL))

    def subquery_report(self) -> List[Dict[str, Any]]:
        return rows_as_dicts(self.cursor().execute(SUBQUERY_SQL))

    def cte_report(self) -> List[Dict[str, Any]]:
        return rows_as_dicts(self.cursor().execute(CTE_SQL))

    def refresh(self, version: int) -> None:
        self.replace("products", self.ex.products_frame(self.rows, version))
        self.replace("orders", self.ex.orders_frame(self.rows, version))

    def replace(self, name: str, frame) -> None:
        cursor = self.cursor()
        cursor.register("incoming", frame)
        try:
            cursor.execute(f"CREATE OR REPLACE TABLE {name} AS SELECT * FROM incoming")
        finally:
            cursor.unregister("incoming")

    def close(self) -> None:
        self.connection.close()


class PolarsBackend:
    """Both tables as Polars frames in memory; a refresh swaps one reference."""

    def __init__(self, example, rows: int):
        import polars as pl
        self.pl = pl
        self.ex = example
        self.rows = rows
        self.refresh(0)

    def lookup(self, product_id: int) -> Optional[Dict[str, Any]]:
        products, _ = self.frames
        found = products.filter(self.pl.col("id") == product_id).to_dicts()
        return found[0] if found else None

    def search(self, q: str, limit: int) -> List[Dict[str, Any]]:
        pl = self.pl
        products, _ = self.frames
        found = products.filter(pl.col("name").str.contains(q, literal=True)).sort("id")
        return found.select(PRODUCT_COLUMNS).head(limit).to_dicts()

    def report(self) -> List[Dict[str, Any]]:
        pl = self.pl
        products, orders = self.frames
        joined = orders.join(products, left_on="product_id", right_on="id", suffix="_p")
        return joined.group_by("category").agg(
            pl.len().alias("orders"),
            (pl.col("quantity") * pl.col("price")).sum().alias("revenue"),
            pl.col("version_p").min().alias("products_version_min"),
            pl.col("version_p").max().alias("products_version_max"),
            pl.col("version").min().alias("orders_version_min"),
            pl.col("version").max().alias("orders_version_max"),
        ).sort("category").to_dicts()

    def subquery_report(self) -> List[Dict[str, Any]]:
        pl = self.pl
        products, orders = self.frames
        dear = products.filter(pl.col("price") > products["price"].mean())
        joined = orders.join(dear, left_on="product_id", right_on="id", suffix="_p")
        return joined.group_by("category").agg(
            pl.len().alias("orders"), pl.col("quantity").sum().alias("units"),
        ).sort("category").to_dicts()

    def cte_report(self) -> List[Dict[str, Any]]:
        pl = self.pl
        products, orders = self.frames
        per_product = orders.group_by("product_id").agg(pl.col("quantity").sum().alias("units"))
        joined = per_product.join(products, left_on="product_id", right_on="id")
        return joined.group_by("category").agg(
            pl.col("units").max().alias("top_units"), pl.len().alias("products"),
        ).sort("category").to_dicts()

    def refresh(self, version: int) -> None:
        products = self.pl.from_pandas(self.ex.products_frame(self.rows, version))
        orders = self.pl.from_pandas(self.ex.orders_frame(self.rows, version))
        self.frames = (products, orders)

    def close(self) -> None:
        pass


def service_app(make_backend, asynchronous: bool):
    """The catalog's routes over `make_backend()`: async def routes on its a* methods, or def routes."""
    from fastapi import FastAPI, HTTPException

    state: Dict[str, Any] = {}
    versions = itertools.count(1)

    @asynccontextmanager
    async def lifespan(app: FastAPI) -> AsyncIterator[None]:
        state["backend"] = make_backend()
        yield
        state["backend"].close()

    app = FastAPI(lifespan=lifespan)

    def found_or_404(row, product_id):
        if row is None:
            raise HTTPException(status_code=404, detail=f"no product {product_id}")
        return row

    if asynchronous:
        @app.get("/products/{product_id}")
        async def product(product_id: int) -> Dict[str, Any]:
            return found_or_404(await state["backend"].alookup(product_id), product_id)

        @app.get("/search")
        async def search(q: str, limit: int = 20) -> List[Dict[str, Any]]:
            return await state["backend"].asearch(q, limit)

        @app.get("/report")
        async def report() -> List[Dict[str, Any]]:
            return await state["backend"].areport()

        @app.get("/report/subquery")
        async def subquery_report() -> List[Dict[str, Any]]:
            return await state["backend"].asubquery_report()

        @app.get("/report/cte")
        async def cte_report() -> List[Dict[str, Any]]:
            return await state["backend"].acte_report()

        @app.post("/refresh")
        async def refresh() -> Dict[str, int]:
            version = next(versions)
            await state["backend"].arefresh(version)
            return {"version": version}
    else:
        @app.get("/products/{product_id}")
        def product(product_id: int) -> Dict[str, Any]:
            return found_or_404(state["backend"].lookup(product_id), product_id)

        @app.get("/search")
        def search(q: str, limit: int = 20) -> List[Dict[str, Any]]:
            return state["backend"].search(q, limit)

        @app.get("/report")
        def report() -> List[Dict[str, Any]]:
            return state["backend"].report()

        @app.get("/report/subquery")
        def subquery_report() -> List[Dict[str, Any]]:
            return state["backend"].subquery_report()

        @app.get("/report/cte")
        def cte_report() -> List[Dict[str, Any]]:
            return state["backend"].cte_report()

        @app.post("/refresh")
        def refresh() -> Dict[str, int]:
            version = next(versions)
            state["backend"].refresh(version)
            return {"version": version}

    return app


def build_app(variant: str, rows: int):
    example = load_example()
    if variant == "example":
        return example.create_app(rows)
    backends = {"brindle sync": BrindleBackend, "brindle async": BrindleBackend,
                "duckdb": DuckDBBackend, "polars": PolarsBackend}
    backend = backends[variant]
    return service_app(lambda: backend(example, rows), asynchronous=(variant == "brindle async"))


def serve(variant: str, port: int, rows: int) -> None:
    import uvicorn
    uvicorn.run(build_app(variant, rows), host=HOST, port=port, log_level="warning")


# --------------------------------------------------------------------------
# Client side: this process.
# --------------------------------------------------------------------------

def free_port() -> int:
    with socket.socket() as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


class Server:
    """A variant's service in a process of its own."""

    def __init__(self, variant: str, rows: int):
        self.port = free_port()
        self.base = f"http://{HOST}:{self.port}"
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(HERE.parent), env.get("PYTHONPATH")]))
        self.process = subprocess.Popen(
            [sys.executable, __file__, "--serve", variant, "--port", str(self.port), "--rows", str(rows)], env=env)
        self.wait_until_ready()

    def wait_until_ready(self, timeout: float = 60.0) -> None:
        import httpx
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError(f"server exited with {self.process.returncode}")
            try:
                if httpx.get(f"{self.base}/products/0", timeout=1.0).status_code == 200:
                    return
            except httpx.HTTPError:
                pass
            time.sleep(0.05)
        raise RuntimeError("server did not start")

    def stop(self) -> None:
        self.process.terminate()  # uvicorn shuts down gracefully on SIGTERM: the lifespan's close runs
        try:
            self.process.wait(30)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


async def drive(base: str, clients: int, seconds: float, rows: int, seed: int,
                reports: bool = True) -> Dict[str, Any]:
    """Load from `clients` concurrent clients and a refresher; latencies of the counted window."""
    import httpx

    rng = random.Random(seed)
    latencies: List[float] = []
    errors = [0]
    start = time.perf_counter()
    counted_from = start + WARMUP_SECONDS
    deadline = counted_from + seconds

    def next_request():
        kind = rng.choice(MIX)
        if kind == "lookup":
            return f"/products/{rng.randrange(rows)}", None
        if kind == "search":
            return "/search", {"q": f"product {rng.randrange(10, 50)}", "limit": 8}
        if kind in ("subquery", "cte"):
            if reports:
                return f"/report/{kind}", None
            return f"/products/{rng.randrange(rows)}", None
        return "/report", None

    async def client_loop(client):
        while True:
            path, params = next_request()
            began = time.perf_counter()
            if began >= deadline:
                return
            try:
                response = await client.get(path, params=params)
                ok = response.status_code == 200
            except httpx.HTTPError:
                ok = False
            ended = time.perf_counter()
            if began >= counted_from and ended <= deadline:
                latencies.append(ended - began)
                errors[0] += not ok

    async def refresher(client):
        while time.perf_counter() + REFRESH_EVERY < deadline:
            await asyncio.sleep(REFRESH_EVERY)
            try:
                ok = (await client.post("/refresh")).status_code == 200
            except httpx.HTTPError:
                ok = False
            errors[0] += not ok

    limits = httpx.Limits(max_connections=clients + 1, max_keepalive_connections=clients + 1)
    async with httpx.AsyncClient(base_url=base, timeout=30, limits=limits) as client:
        await asyncio.gather(refresher(client), *(client_loop(client) for _ in range(clients)))
    return {"requests": len(latencies), "rps": len(latencies) / seconds, "latencies": latencies, "errors": errors[0]}


def percentile(values: List[float], fraction: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))] if ordered else float("nan")


def run_round(variant: str, args, seed: int) -> Dict[str, Any]:
    server = Server(variant, args.rows)
    try:
        return asyncio.run(drive(server.base, args.clients, args.seconds, args.rows, seed,
                                 reports=variant != "example"))
    finally:
        server.stop()


def print_table(variants: List[str], results: Dict[str, List[Dict[str, Any]]], rounds: int) -> None:
    print(f"{'variant':<15}{'req/s':>9}{'p50 ms':>9}{'p99 ms':>9}{'errors':>8}"
          f"{'req/s vs duckdb':>17}{'p99 vs duckdb':>15}")
    for variant in variants:
        runs = results[variant]
        pooled = [x for run in runs for x in run["latencies"]]
        rps = statistics.median(run["rps"] for run in runs)
        rps_ratio = statistics.median(run["rps"] / base["rps"] for run, base in zip(runs, results["duckdb"]))
        p99_ratio = statistics.median(percentile(run["latencies"], 0.99) / percentile(base["latencies"], 0.99)
                                      for run, base in zip(runs, results["duckdb"]))
        errors = sum(run["errors"] for run in runs)
        print(f"{variant:<15}{rps:>9.0f}{percentile(pooled, 0.5) * 1e3:>9.2f}{percentile(pooled, 0.99) * 1e3:>9.2f}"
              f"{errors:>8}{rps_ratio:>16.2f}x{p99_ratio:>14.2f}x")
    print(f"({rounds} rounds alternating; req/s is the median round, p50/p99 over all rounds)")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="one short round")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--seconds", type=float, default=5.0, help="counted seconds of load per round")
    parser.add_argument("--clients", type=int, default=8)
    parser.add_argument("--rows", type=int, default=10_000)
    parser.add_argument("--serve", help=argparse.SUPPRESS)
    parser.add_argument("--port", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.serve:
        serve(args.serve, args.port, args.rows)
        return
    if args.quick:
        args.rounds, args.seconds = 1, 2.0

    variants = ["example", "brindle sync", "brindle async", "duckdb"]
    if polars_available():
        variants.append("polars")
    else:
        print("polars not installed: its variant is skipped")
    print(f"{args.rows} products, {args.rows * 3} orders; {args.clients} clients; mix {MIX} + a refresh every "
          f"{REFRESH_EVERY:g} s; {args.rounds} x {args.seconds:g} s per variant")
    results: Dict[str, List[Dict[str, Any]]] = {v: [] for v in variants}
    for round_number in range(args.rounds):
        for variant in variants:
            results[variant].append(run_round(variant, args, seed=round_number))
    print_table(variants, results, args.rounds)


if __name__ == "__main__":
    main()
