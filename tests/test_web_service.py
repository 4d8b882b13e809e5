"""examples/web_service.py under its real uvicorn server on loopback, driven by a real HTTP client."""

import asyncio
import importlib.util
import random
import socket
import threading
from pathlib import Path

import httpx
import pandas as pd
import pytest
import uvicorn

import brindle.quaymaster as qm
from manager_support import make_manager  # noqa: F401

ROWS = 500
EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "web_service.py"


def load_example():
    spec = importlib.util.spec_from_file_location("web_service", EXAMPLE)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Running:
    """The example app under a uvicorn server on a thread of its own."""

    def __init__(self, app):
        self.app = app
        port = free_port()
        self.base = f"http://127.0.0.1:{port}"
        self.server = uvicorn.Server(uvicorn.Config(app, host="127.0.0.1", port=port, log_level="warning"))
        self.thread = threading.Thread(target=self.server.run, name="uvicorn")
        self.thread.start()
        for _ in range(1000):
            if self.server.started or not self.thread.is_alive():
                break
            threading.Event().wait(0.01)
        assert self.server.started

    def stop(self):
        self.server.should_exit = True
        self.thread.join(30)
        assert not self.thread.is_alive()


@pytest.fixture
def service(make_manager):
    make_manager()  # fresh singletons, restored when the test ends
    qm.BrindleManager._instance = None
    running = Running(load_example().create_app(ROWS))
    yield running
    running.stop()


def check_whole_version(kind, body):
    """Every table in an answer is one version of it, whole."""
    if kind == "lookup":
        assert body["price"] == body["id"] % 100 + body["version"]
        return
    if kind == "search":
        assert body and len({row["version"] for row in body}) == 1
        assert all(row["price"] == row["id"] % 100 + row["version"] for row in body)
        return
    assert [row["category"] for row in body] == ["books", "garden", "kitchen", "music", "toys"]
    assert sum(row["orders"] for row in body) == ROWS * 3
    for table in ("products", "orders"):
        versions = {row[f"{table}_version_{end}"] for row in body for end in ("min", "max")}
        assert len(versions) == 1, (table, body)


@pytest.mark.slow  # stress
def test_concurrent_requests_and_refreshes_each_see_one_whole_version(service):
    base = service.base
    rng = random.Random(18)

    async def request(client, kind):
        if kind == "lookup":
            response = await client.get(f"/products/{rng.randrange(ROWS)}")
        elif kind == "search":
            response = await client.get("/search", params={"q": f"product {rng.randrange(10, 50)}", "limit": 8})
        else:
            response = await client.get("/report")
        assert response.status_code == 200, response.text
        check_whole_version(kind, response.json())

    async def worker(client, n):
        for _ in range(n):
            await request(client, rng.choice(["lookup", "lookup", "search", "report"]))

    async def refresher(client, n):
        versions = []
        for _ in range(n):
            response = await client.post("/refresh")
            assert response.status_code == 200
            versions.append(response.json()["version"])
            await asyncio.sleep(0.02)
        return versions

    async def main():
        async with httpx.AsyncClient(base_url=base, timeout=30) as client:
            results = await asyncio.gather(refresher(client, 8), *(worker(client, 25) for _ in range(8)))
            missing = await client.get("/products/999999")
            stats = (await client.get("/stats")).json()
        return results[0], missing, stats

    versions, missing, stats = asyncio.run(main())
    assert sorted(versions) == list(range(1, 9))
    assert missing.status_code == 404
    by_table = {s["table"]: s for s in stats}
    assert by_table["products"]["stores"] == by_table["orders"]["stores"] == 9
    assert by_table["products"]["queries"] > 0 and by_table["products"]["rows"] == ROWS


def test_the_lifespan_builds_the_cache_and_shuts_it_down(service):
    cache = service.app.state.cache
    assert httpx.get(f"{service.base}/products/3").json() == {
        "id": 3, "name": "product 3", "category": "music", "price": 3, "version": 0}
    assert cache._ttl_registry._cleanup_thread.is_alive() and cache._async_pool is not None
    service.stop()
    assert not cache._ttl_registry._cleanup_thread.is_alive() and cache._async_pool is None
    assert cache._connections == {} and not cache.exists("catalog", "products")


@pytest.mark.parametrize("column", [
    [1, 2, 3],
    [1.5, float("nan"), 3.0],
    pd.array([1, None, 3], dtype="Int64"),
    pd.array(["a", None, "c"], dtype="str"),
    ["a", None, 3],
    pd.to_datetime(["2026-01-01", None, "2026-01-03"]),
    [True, False, True],
    pd.array([True, None, False], dtype="boolean"),
    pd.array(["a", None, "c"], dtype="string"),
], ids=["int", "float-nan", "nullable-int", "text-missing", "objects", "timestamps", "bool", "nullable-bool", "string-na"])
def test_records_are_what_to_dict_gives(column):
    df = pd.DataFrame({"v": column, "n": [10, 20, 30]})
    got, expected = load_example().records(df), df.to_dict("records")
    # NaN is not equal to itself: compared by its text.
    assert repr(got) == repr(expected)
    assert [type(v) for row in got for v in row.values()] == [type(v) for row in expected for v in row.values()]
