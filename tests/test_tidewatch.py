import dataclasses
import inspect
import logging
import threading

import pytest

import brindle.tidewatch as tw
from child_process import run_child
from tidewatch_support import START, clock, messages, registry  # noqa: F401

DEBUG = logging.DEBUG


@pytest.fixture(autouse=True)
def _capture(caplog):
    caplog.set_level(DEBUG, logger="brindle.tidewatch")


# --- what Python sees -------------------------------------------------------

DOCS = {
    "register": "Register or update a table in the registry.",
    "update_loaded_time": "Update the loaded_at timestamp and clear stale flag.",
    "mark_stale": "Mark a table as stale (needs refresh).",
    "is_stale": "Check if a table is marked as stale.",
    "is_expired": "Check if a table has exceeded its TTL.",
    "exists": "Check if a table is registered.",
    "increment_readers": "Increment active reader count.",
    "decrement_readers": "Decrement active reader count.",
    "has_active_readers": "Check if table has active readers.",
    "is_scheduler_managed": "Check if table is scheduler-managed (bypasses TTL expiry).",
    "remove": "Remove a table from the registry.",
    "remove_database": "Remove all tables for a database.",
    "get_all_entries": "Get a snapshot of all registry entries (for cleanup thread).",
    "get_last_updated": "Get the last updated timestamp for a table.",
    "_get_entry": "Internal: Get entry without lock (caller must hold lock).",
    "stop_cleanup_thread": "Stop the background cleanup thread.",
    "_cleanup_loop": "Background thread loop for TTL cleanup.",
    "_run_cleanup": "Execute cleanup pass - mark stale or trigger removal.",
}


@pytest.mark.parametrize("name,doc", sorted(DOCS.items()))
def test_method_docstrings(name, doc):
    assert getattr(tw.TTLRegistry, name).__doc__ == doc


def test_module_and_class_surface():
    assert tw.__doc__ == "TTL registry and cleanup management for brindle."
    assert inspect.getdoc(tw.TTLRegistry) == (
        "Thread-safe registry for tracking cache TTL and staleness.\n\n"
        "Singleton pattern - maintains single source of truth for all cache metadata.")
    assert inspect.getdoc(tw.TTLRegistry.start_cleanup_thread).startswith("Start background cleanup thread.\n\nArgs:")
    import datetime, time, dataclasses as dc
    assert (tw.datetime, tw.time, tw.logging, tw.threading, tw.dataclass) == (
        datetime.datetime, time, logging, threading, dc.dataclass)
    assert isinstance(tw.TTLRegistry.__dict__["__new__"], staticmethod)
    assert type(tw.TTLRegistry._lock) is type(threading.Lock())


@pytest.mark.parametrize("name,signature", [
    ("register", "(self, database: 'str', table: 'str', ttl_minutes: 'int', scheduler_managed: 'bool' = False)"),
    ("is_expired", "(self, database: 'str', table: 'str') -> 'bool'"),
    ("get_all_entries", "(self) -> 'Dict[str, Dict[str, TTLEntry]]'"),
    ("get_last_updated", "(self, database: 'str', table: 'str') -> 'Optional[datetime]'"),
    ("start_cleanup_thread", "(self, cleanup_callback, interval_minutes: 'int' = 5)"),
])
def test_signatures(name, signature):
    assert str(inspect.signature(getattr(tw.TTLRegistry, name))) == signature


def test_entry_is_a_plain_dataclass():
    E = tw.TTLEntry
    assert E.__doc__ == "Metadata for a cached table."
    assert dataclasses.is_dataclass(E)
    assert [(f.name, f.type) for f in dataclasses.fields(E)] == [
        ("loaded_at", "datetime"), ("ttl_minutes", "int"), ("is_stale", "bool"),
        ("scheduler_managed", "bool"), ("active_readers", "int")]
    e = E(START, 5)
    assert e == E(loaded_at=START, ttl_minutes=5, is_stale=False, scheduler_managed=False, active_readers=0)
    assert repr(e) == f"TTLEntry(loaded_at={START!r}, ttl_minutes=5, is_stale=False, scheduler_managed=False, active_readers=0)"
    assert dataclasses.asdict(dataclasses.replace(e, active_readers=2))["active_readers"] == 2
    with pytest.raises(TypeError):
        hash(e)
    e.is_stale = True
    assert e != E(START, 5)


# --- singleton ----------------------------------------------------------------

def test_singleton_and_initial_state(registry):
    assert tw.TTLRegistry() is registry
    assert list(vars(registry)) == ["_initialized", "_registry", "_registry_lock", "_cleanup_thread",
                                    "_cleanup_stop_event", "_cleanup_callback",
                                    "_cleanup_interval_minutes", "logger"]
    assert registry._registry == {} and registry._cleanup_thread is None
    assert registry._cleanup_callback is None and registry._cleanup_interval_minutes == 5
    assert type(registry._registry_lock) is type(threading.Lock())
    assert isinstance(registry._cleanup_stop_event, threading.Event)
    assert registry.logger is logging.getLogger("brindle.tidewatch") and registry._initialized is True

    registry.register("db", "t", 5)
    logger = registry.logger
    assert tw.TTLRegistry() is registry
    assert registry.exists("db", "t") and registry.logger is logger


# --- expiry -------------------------------------------------------------------

@pytest.mark.parametrize("ttl,advance,expired", [
    (10, dict(minutes=10), False),
    (10, dict(minutes=10, microseconds=1), True),
    (0, dict(), False),
    (0, dict(microseconds=1), True),
    (-1, dict(), True),
    (10, dict(minutes=-30), False),  # clock set back
])
def test_expiry_rule(registry, clock, ttl, advance, expired):
    registry.register("db", "t", ttl)
    clock.advance(**advance)
    assert registry.is_expired("db", "t") is expired


def test_update_loaded_time_restarts_age_and_clears_stale(registry, clock):
    registry.register("db", "t", 1)
    registry.increment_readers("db", "t")
    registry.mark_stale("db", "t")
    clock.advance(minutes=5)
    registry.update_loaded_time("db", "t")
    assert not registry.is_expired("db", "t") and not registry.is_stale("db", "t")
    assert registry.get_last_updated("db", "t") == clock.at
    assert registry.has_active_readers("db", "t")


# --- registration and readers ---------------------------------------------------

def test_register_replaces_entry_whole(registry, clock, caplog):
    registry.register("db", "t", 5)
    registry.increment_readers("db", "t")
    registry.increment_readers("db", "t")
    registry.mark_stale("db", "t")
    clock.advance(minutes=1)
    registry.register("db", "t", 5.0, scheduler_managed=1)
    entry = registry._get_entry("db", "t")
    assert entry == tw.TTLEntry(clock.at, 5, False, True, 0)
    assert type(entry.ttl_minutes) is int
    assert messages(caplog)[-1] == "Registered cache entry: db.t (TTL=5min, scheduler_managed=True)"
    registry.register("db", "t", True)
    assert registry._get_entry("db", "t").ttl_minutes == 1


def test_reader_count_never_below_zero(registry, caplog):
    registry.register("db", "t", 5)
    registry.increment_readers("db", "t")
    for _ in range(3):
        registry.decrement_readers("db", "t")
    assert registry._get_entry("db", "t").active_readers == 0
    assert messages(caplog, "DEBUG")[-4:] == [
        "Reader count++ for db.t: 1", "Reader count-- for db.t: 0",
        "Reader count-- for db.t: 0", "Reader count-- for db.t: 0"]
    assert not registry.has_active_readers("db", "t")


def test_unregistered_tables(registry, caplog):
    registry.register("db", "other", 5)
    caplog.clear()
    for db in ("db", "nodb"):
        assert [registry.is_stale(db, "t"), registry.is_expired(db, "t"), registry.has_active_readers(db, "t"),
                registry.is_scheduler_managed(db, "t"), registry.exists(db, "t")] == [False] * 5
        assert registry.get_last_updated(db, "t") is None and registry._get_entry(db, "t") is None
        for op in (registry.update_loaded_time, registry.mark_stale, registry.increment_readers,
                   registry.decrement_readers):
            op(db, "t")
    registry.remove_database("nodb")
    registry.remove("nodb", "t")
    assert messages(caplog) == []
    assert registry._get_entry("db", "other") == tw.TTLEntry(registry.get_last_updated("db", "other"), 5)


# --- removal ------------------------------------------------------------------

def test_removal_keeps_the_two_levels_consistent(registry, caplog):
    registry.register("a", "t1", 5)
    registry.register("a", "t2", 5)
    registry.register("b", "t1", 5)
    registry.remove("a", "missing")
    assert messages(caplog)[-1] == "Removed from registry: a.missing"
    registry.remove("a", "t1")
    registry.remove("a", "t2")
    assert registry.get_all_entries().keys() == {"b"}
    registry.register("a", "t3", 5)
    assert list(registry.get_all_entries()) == ["b", "a"]
    registry.remove_database("a")
    assert messages(caplog, "INFO")[-1] == "Removed all tables for database: a"
    assert list(registry._registry) == ["b"]


def test_snapshot_copies_dicts_and_shares_entries(registry):
    registry.register("db", "t1", 5)
    snap = registry.get_all_entries()
    snap["db"]["extra"] = None
    snap["other"] = {}
    del snap["db"]["t1"]
    assert list(registry._registry) == ["db"] and list(registry._registry["db"]) == ["t1"]

    snap = registry.get_all_entries()
    registry.register("db", "t2", 5)
    registry.increment_readers("db", "t1")
    assert list(snap["db"]) == ["t1"]
    assert snap["db"]["t1"].active_readers == 1
    assert snap["db"]["t1"] is registry._get_entry("db", "t1")


# A handler that asks the registry something while a record is being
# written, and a clock that does so whenever the time is read. Run in a
# child: a regression deadlocks the registry for good.
REENTRANT_HANDLER = """
    import datetime, logging, os, sys, threading
    import brindle.tidewatch as tw

    registry = tw.TTLRegistry()
    seen = []

    class AsksTheRegistry(logging.Handler):
        def emit(self, record):
            registry.exists("db", "t")
            seen.append(f"{record.levelname} {record.getMessage()}")

    class ClockAsksTheRegistry:
        @staticmethod
        def now():
            registry.has_active_readers("db", "t")
            return datetime.datetime.now()

    tw.datetime = ClockAsksTheRegistry

    logger = logging.getLogger("brindle.tidewatch")
    logger.addHandler(AsksTheRegistry())
    logger.setLevel(logging.DEBUG)

    def operations():
        registry.register("db", "t", 5)
        registry.update_loaded_time("db", "t")
        registry.is_expired("db", "t")
        registry.mark_stale("db", "t")
        registry.increment_readers("db", "t")
        registry.decrement_readers("db", "t")
        registry.remove("db", "t")
        registry.register("db", "t", 5)
        registry.remove_database("db")

    worker = threading.Thread(target=operations, daemon=True)
    worker.start()
    worker.join(timeout=10)
    print("\\n".join(seen), flush=True)
    os._exit(1 if worker.is_alive() else 0)
"""


def test_a_handler_or_clock_may_call_back_into_the_registry(tmp_path):
    status, out, err = run_child(REENTRANT_HANDLER, tmp_path)
    assert status == 0, "the registry deadlocked on its own record\n" + out + err
    assert out.splitlines() == [
        "DEBUG Registered cache entry: db.t (TTL=5min, scheduler_managed=False)",
        "DEBUG Updated loaded time: db.t",
        "INFO Marked as stale: db.t",
        "DEBUG Reader count++ for db.t: 1",
        "DEBUG Reader count-- for db.t: 0",
        "DEBUG Removed from registry: db.t",
        "DEBUG Registered cache entry: db.t (TTL=5min, scheduler_managed=False)",
        "INFO Removed all tables for database: db",
    ]


# --- argument checks ----------------------------------------------------------

class Text(str):
    pass


TABLE_OPS = ["update_loaded_time", "mark_stale", "is_stale", "is_expired", "exists", "increment_readers",
             "decrement_readers", "has_active_readers", "is_scheduler_managed", "remove",
             "get_last_updated", "_get_entry"]


@pytest.mark.parametrize("op", TABLE_OPS)
@pytest.mark.parametrize("args", [(None, "t"), ("db", None), (Text("db"), "t"), ("db", b"t")])
def test_wrong_name_types_refused_before_anything(registry, caplog, op, args):
    registry.register("db", "t", 5)
    before = dataclasses.asdict(registry._get_entry("db", "t"))
    caplog.clear()
    with pytest.raises(TypeError):
        getattr(registry, op)(*args)
    assert messages(caplog) == [] and not registry._registry_lock.locked()
    assert dataclasses.asdict(registry._get_entry("db", "t")) == before


@pytest.mark.parametrize("args", [("db", "t", None), ("db", "t", "5"), ("db", "t", [5]), (None, "t", 5)])
def test_register_refuses_bad_arguments(registry, caplog, args):
    with pytest.raises(TypeError):
        registry.register(*args)
    assert registry._registry == {} and messages(caplog) == []
    with pytest.raises(TypeError):
        registry.remove_database(Text("db"))
