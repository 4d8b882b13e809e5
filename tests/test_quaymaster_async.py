"""The manager's awaitable methods: the same calls on its thread pool, the event loop never blocked."""

import asyncio
import inspect
import threading
from unittest import mock

import pandas as pd
import pytest

from brindle.errors import BrindleNotFoundError
from manager_support import frame, make_manager  # noqa: F401

TWINS = ["store", "query", "query_arrow", "execute_sql", "invalidate", "get_table_info", "warm_from_external",
         "warm_from_parquet", "reload", "stats", "get_or_load"]


def arguments_for(sync):
    """Keyword arguments filling every parameter of `sync` but self."""
    return {name: f"arg{i}" for i, name in enumerate(inspect.signature(sync).parameters)}


async def until(condition):
    for _ in range(10000):
        if condition():
            return
        await asyncio.sleep(0.001)
    raise AssertionError("condition not reached")


@pytest.mark.parametrize("name", TWINS)
def test_each_twin_runs_the_patched_method_on_the_pool_while_the_loop_runs(make_manager, name):
    m = make_manager(async_pool_size=2)
    sync, twin = getattr(m, name), getattr(m, "a" + name)
    assert inspect.signature(twin) == inspect.signature(sync)
    assert asyncio.iscoroutinefunction(twin) and twin.__doc__.startswith(f"Awaitable {name}(): ")
    args = arguments_for(sync)
    release, seen = threading.Event(), []

    def stand_in(**given):
        seen.append((given, threading.current_thread().name))
        assert release.wait(10)
        return "answer"

    async def main():
        with mock.patch.object(m, name, stand_in):
            call = asyncio.create_task(twin(**args))
            await until(lambda: seen)  # the loop keeps running while the call blocks
            release.set()
            return await call

    assert asyncio.run(main()) == "answer"
    assert seen[0][0] == args and seen[0][1].startswith("BrindleAsync")


def test_awaited_calls_work_on_the_real_cache(make_manager):
    m = make_manager()

    async def main():
        await m.astore("db", "a", frame(3))
        await m.astore("db", "b", pd.DataFrame({"id": [1, 2], "name": ["x", "y"]}))
        rows, joined, info, stats = await asyncio.gather(
            m.aquery("db", "a", sql_where="id > 0", columns=["id"]),
            m.aexecute_sql("db", "SELECT a.id, b.name FROM a JOIN b USING (id) ORDER BY a.id"),
            m.aget_table_info("db", "a"),
            m.astats())
        await m.ainvalidate("db", "a")
        with pytest.raises(BrindleNotFoundError, match="^Table db.a not found in cache$"):
            await m.aquery("db", "a")
        with pytest.raises(TypeError):
            await m.aquery("db", 1)
        return rows, joined, info, stats

    rows, joined, info, stats = asyncio.run(main())
    assert rows["id"].tolist() == [1, 2] and joined.to_dict("list") == {"id": [1, 2], "name": ["x", "y"]}
    assert info["row_count"] == 3 and [s["table"] for s in stats] == ["a", "b"]


def test_a_cancelled_waiter_leaves_the_one_load_whole_for_the_others(make_manager):
    m = make_manager(async_pool_size=4)
    loading, release, loads = threading.Event(), threading.Event(), []

    def loader():
        loads.append(1)
        loading.set()
        assert release.wait(10)
        return frame(4, version=7)

    async def main():
        first = asyncio.create_task(m.aget_or_load("db", "t", loader))
        await until(loading.is_set)
        others = [asyncio.create_task(m.aget_or_load("db", "t", loader)) for _ in range(3)]
        await asyncio.sleep(0.01)
        first.cancel()
        with pytest.raises(asyncio.CancelledError):
            await first
        release.set()
        return await asyncio.gather(*others)

    results = asyncio.run(main())
    assert loads == [1] and all(r["version"].tolist() == [7] * 4 for r in results)
    m.store("db", "t", frame(2), ttl_minutes=1)  # the write lock was released
    assert len(m.query("db", "t")) == 2


def test_a_call_cancelled_before_it_starts_never_runs(make_manager):
    m = make_manager(async_pool_size=1)
    started, release = threading.Event(), threading.Event()
    real_store = m.store

    def slow_store(**arguments):
        started.set()
        assert release.wait(10)
        real_store(**arguments)

    async def main():
        with mock.patch.object(m, "store", slow_store):
            busy = asyncio.create_task(m.astore("db", "first", frame()))
            await until(started.is_set)
        queued = asyncio.create_task(m.astore("db", "second", frame()))  # waits for the only thread
        await asyncio.sleep(0.01)
        queued.cancel()
        release.set()
        await busy
        with pytest.raises(asyncio.CancelledError):
            await queued

    asyncio.run(main())
    assert m.exists("db", "first") and not m.exists("db", "second")


def test_shutdown_ends_the_pool_and_the_next_call_makes_another(make_manager):
    m = make_manager()

    async def store_and_count():
        await m.astore("db", "t", frame(2))
        return len(await m.aquery("db", "t"))

    assert asyncio.run(store_and_count()) == 2
    pool = m._async_pool
    m.shutdown()
    assert m._async_pool is None
    with pytest.raises(RuntimeError):
        pool.submit(print)
    assert asyncio.run(store_and_count()) == 2 and m._async_pool is not pool


def test_the_awaitable_behaves_as_a_coroutine(make_manager):
    m = make_manager()
    m.store("db", "t", frame(2))
    closed = m.aquery("db", "t")
    closed.close()

    async def main():
        with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
            await closed
        call = m.aquery("db", "t")
        assert len(await call) == 2
        with pytest.raises(RuntimeError, match="cannot reuse"):
            await call
        thrown = m.aquery("db", "t")
        with pytest.raises(KeyError):
            thrown.throw(KeyError("never started"))

    asyncio.run(main())
    with pytest.raises(RuntimeError, match="no running event loop"):
        m.aquery("db", "t").send(None)
