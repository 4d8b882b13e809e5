"""What a service needs to run the cache: stats() and get_or_load()."""

import contextlib
import gc
import threading
import time
import weakref
from unittest import mock

import pandas as pd
import pytest

import brindle.quaymaster as qm
import brindle.tidewatch as tw
from brindle.config import BrindleConfig
from brindle.errors import BrindleError, BrindleNotFoundError
from conftest import run_threads
from manager_support import frame, make_manager  # noqa: F401
from tidewatch_support import Clock as tidewatch_clock


@contextlib.contextmanager
def all_told_not_cached(m, n):
    """Yields an event set once n threads have each been told by m.query()
    that the table is not cached: get_or_load() asks that first, so a loader
    that waits for the event knows every caller has come to the load, and
    none arrives after it has ended (which a loader that merely sleeps
    cannot promise on a busy machine)."""
    told, everyone = set(), threading.Event()
    query = m.query

    def counting(*args, **kwargs):
        try:
            return query(*args, **kwargs)
        except BrindleNotFoundError:
            told.add(threading.get_ident())
            if len(told) >= n:
                everyone.set()
            raise

    with mock.patch.object(m, "query", counting):
        yield everyone


@pytest.mark.parametrize("mode", ["single_db", "per_table_db"])
def test_stats_describes_each_table_and_counts_what_happened_to_it(make_manager, mode):
    m = make_manager(default_mode=mode)
    failing = mock.Mock(should_persist_table=mock.Mock(return_value=True),
                        persist_table_to_parquet=mock.Mock(side_effect=OSError("disk full")),
                        has_external_connector=mock.Mock(return_value=True),
                        save_to_external=mock.Mock(side_effect=RuntimeError("server gone")))
    m.store("shop", "orders", frame(5))
    with mock.patch.object(m, "_persistence", failing):
        m.store("shop", "orders", frame(4))
    m.store("shop", "archive", frame(2), ttl_minutes=0, scheduler_managed=True)
    m.store("metrics", "hits", pd.DataFrame({"a": [1], "b": [2.0], "c": ["x"]}))
    m.query("shop", "orders")
    m.query("shop", "orders", limit=1)
    m.invalidate("metrics", "hits")
    with pytest.raises(BrindleNotFoundError):
        m.query("metrics", "hits")
    m.store("metrics", "hits", frame(1), ttl_minutes=0)
    time.sleep(0.01)
    with pytest.raises(BrindleNotFoundError):
        m.query("metrics", "hits")  # expired
    stale_view = {s["table"]: s["stale"] for s in m.stats()}
    with mock.patch.object(m, "_store", mock.Mock(store=mock.Mock(side_effect=BrindleError("swap failed")))):
        with pytest.raises(BrindleError):
            m.store("shop", "orders", frame(9))
    m.store("metrics", "gone", frame(1), ttl_minutes=0)
    time.sleep(0.01)
    m._cleanup_expired_table("metrics", "gone")

    stats = m.stats()
    assert [(s["database"], s["table"]) for s in stats] == [
        ("metrics", "hits"), ("shop", "archive"), ("shop", "orders")]
    by_table = {s["table"]: s for s in stats}
    orders, hits, archive = by_table["orders"], by_table["hits"], by_table["archive"]
    assert (orders["mode"], orders["rows"], orders["columns"]) == (mode, 4, 2)
    assert (hits["rows"], hits["columns"]) == (1, 2)
    assert all(s["memory_bytes"] > 0 for s in stats)
    assert {type(s[k]) for s in stats for k in ("rows", "columns", "memory_bytes")} == {int}
    assert (orders["queries"], orders["stores"], orders["store_failures"]) == (2, 2, 1)
    assert (orders["parquet_write_failures"], orders["external_write_failures"]) == (1, 1)
    assert orders["last_store_ms"] > 0 and orders["ttl_seconds"] == 3600 and 0 <= orders["age_seconds"] < 60
    assert (hits["invalidations"], hits["not_found"], hits["stores"]) == (1, 2, 2)
    assert stale_view == {"orders": False, "archive": False, "hits": True}
    assert archive["scheduler_managed"] and not archive["stale"] and archive["ttl_seconds"] == 0
    assert orders["active_readers"] == 0 and orders["loaded_at"] == m.get_last_updated("shop", "orders")
    # Counters outlive the table: the expired one is gone from stats but counted.
    m.store("metrics", "gone", frame(1))
    assert {s["table"]: s["expirations"] for s in m.stats()}["gone"] == 1


@pytest.mark.parametrize("how, stale", [("fresh", False), ("registry clock past ttl", True),
                                        ("is_expired replaced", True)])
def test_stats_calls_a_table_stale_when_the_registry_does(make_manager, how, stale):
    m = make_manager()
    clock = tidewatch_clock()
    with mock.patch("brindle.tidewatch.datetime", clock):
        m.store("shop", "orders", frame(3), ttl_minutes=60)
        if how == "registry clock past ttl":
            clock.advance(minutes=61)
        replaced = mock.patch.object(m._ttl_registry, "is_expired", return_value=True)
        with replaced if how == "is_expired replaced" else contextlib.nullcontext():
            [entry] = m.stats()
            assert entry["stale"] is stale
            assert m.exists("shop", "orders") is not stale


def test_stats_takes_no_write_lock(make_manager):
    m = make_manager()
    m.store("shop", "orders", frame(3))
    lock = m._get_lock("shop", "orders", "single_db")
    with lock:  # as a store holds it while swapping
        [result] = run_threads(1, lambda i: m.stats())
    assert result[0]["rows"] == 3


def test_get_or_load_runs_one_loader_for_all_callers(make_manager):
    m = make_manager()
    calls = []

    def loader():
        calls.append(threading.current_thread().name)
        assert everyone.wait(30)
        return frame(7)

    with all_told_not_cached(m, 16) as everyone:
        results = run_threads(16, lambda i: m.get_or_load("shop", "orders", loader, ttl_minutes=5))
    assert len(calls) == 1
    assert all(isinstance(r, pd.DataFrame) and len(r) == 7 for r in results)
    assert len({id(r) for r in results}) == 16
    assert m.get_or_load("shop", "orders", loader).equals(results[0]) and len(calls) == 1
    [s] = m.stats()
    assert (s["stores"], s["ttl_seconds"]) == (1, 300)


def test_a_failed_load_reaches_every_waiter_and_is_not_remembered(make_manager):
    m = make_manager()
    error = ValueError("source down")
    attempts = []

    def failing():
        attempts.append(1)
        assert everyone.wait(30)
        raise error

    with all_told_not_cached(m, 8) as everyone:
        results = run_threads(8, lambda i: m.get_or_load("shop", "orders", failing))
    assert len(attempts) == 1 and all(r is error for r in results)
    assert len(m.get_or_load("shop", "orders", lambda: frame(2))) == 2

    # An interrupted loader thread (KeyboardInterrupt, SystemExit) fails only
    # itself: a waiter takes the load over.
    def interrupted_once():
        attempts.append(1)
        assert everyone.wait(30)
        if len(attempts) == 2:
            raise SystemExit(1)
        return frame(4)

    with all_told_not_cached(m, 4) as everyone:
        results = run_threads(4, lambda i: m.get_or_load("shop", "fresh", interrupted_once))
    assert len(attempts) == 3
    assert sorted(type(r).__name__ for r in results) == ["DataFrame"] * 3 + ["SystemExit"]


def test_serve_stale_answers_from_the_old_rows_while_one_caller_refreshes(make_manager):
    m = make_manager()
    m.store("shop", "orders", frame(3, version=1))
    m._ttl_registry.mark_stale("shop", "orders")
    loading, release = threading.Event(), threading.Event()

    def slow_loader():
        loading.set()
        release.wait(10)
        return frame(3, version=2)

    refresher = threading.Thread(target=lambda: m.get_or_load("shop", "orders", slow_loader, serve_stale=True))
    refresher.start()
    assert loading.wait(10)
    old = m.get_or_load("shop", "orders", slow_loader, serve_stale=True)
    waiter = threading.Thread(target=lambda: m.get_or_load("shop", "orders", slow_loader))
    waiter.start()
    waiter.join(0.2)
    assert set(old["version"]) == {1} and waiter.is_alive()  # without serve_stale it waits
    release.set()
    refresher.join(10)
    waiter.join(10)
    assert set(m.get_or_load("shop", "orders", slow_loader, serve_stale=True)["version"]) == {2}


def test_loads_of_different_tables_run_together_and_a_reentrant_loader_is_refused(make_manager):
    m = make_manager()
    both_loading = threading.Barrier(2, timeout=10)

    def loader():
        both_loading.wait()  # breaks (and fails the load) if the loads were serialised
        return frame(1)

    results = run_threads(2, lambda i: m.get_or_load("shop", f"t{i}", loader))
    assert all(isinstance(r, pd.DataFrame) for r in results)

    def reentrant():
        return m.get_or_load("shop", "loop", reentrant)

    with pytest.raises(BrindleError, match="from its own loader"):
        m.get_or_load("shop", "loop", reentrant)
    with pytest.raises(TypeError):
        m.get_or_load("shop", "loop", "not callable")


def test_a_loader_that_drops_the_managers_state_still_gets_its_rows(make_manager):
    m = make_manager()

    def loader():
        del m._state    # the load keeps the state it started with
        return frame()

    assert len(m.get_or_load("db", "t", loader)) == 3


def test_a_cycle_through_the_managers_state_is_collected():
    saved = qm.BrindleManager._instance, tw.TTLRegistry._instance
    qm.BrindleManager._instance = tw.TTLRegistry._instance = None
    try:
        m = qm.BrindleManager(BrindleConfig())
        m.store("db", "t", frame())
        m.query("db", "t")    # the result cache keeps the resolver it asked
        m._config_resolver.owner = m
        m.shutdown()    # ends the cleanup thread, which refers to the manager
        gone = weakref.ref(m)
        del m
    finally:
        qm.BrindleManager._instance, tw.TTLRegistry._instance = saved
    gc.collect()
    assert gone() is None
