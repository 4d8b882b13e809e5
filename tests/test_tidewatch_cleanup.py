import itertools
import logging
import random
import threading
import time as real_time
from unittest import mock

import pytest

import brindle.tidewatch as tw
from conftest import run_threads
from tidewatch_support import clock, messages, registry  # noqa: F401


@pytest.fixture(autouse=True)
def _capture(caplog):
    caplog.set_level(logging.DEBUG, logger="brindle.tidewatch")


class GatedEvent(threading.Event):
    """A stop event whose interval waits end only when released (or on a stop)."""

    def __init__(self):
        super().__init__()
        self.waits = []
        self.gate = threading.Semaphore(0)

    def wait(self, timeout=None):
        if timeout is None:
            return super().wait()
        self.waits.append(timeout)
        deadline = real_time.monotonic() + 10
        while not self.is_set() and not self.gate.acquire(timeout=0.001):
            assert real_time.monotonic() < deadline, "never released"
        return self.is_set()

    def release(self):
        self.gate.release()


def wait_for(condition):
    deadline = real_time.monotonic() + 10
    while not condition():
        assert real_time.monotonic() < deadline, "condition not reached"
        real_time.sleep(0.001)


# --- start and stop -----------------------------------------------------------

def test_start_twice_keeps_the_first_thread(registry, caplog):
    registry._cleanup_stop_event = event = GatedEvent()
    first, second = mock.Mock(), mock.Mock()
    registry.start_cleanup_thread(first, interval_minutes=2.5)
    thread = registry._cleanup_thread
    registry.start_cleanup_thread(second, interval_minutes=7)
    assert registry._cleanup_callback is first and registry._cleanup_interval_minutes == 2
    assert registry._cleanup_thread is thread
    assert (thread.name, thread.daemon) == ("BrindleCleanup", True)
    assert messages(caplog)[-2:] == ["Started cleanup thread (interval=2min)", "Cleanup thread already running"]
    wait_for(lambda: event.waits)
    assert event.waits == [120]
    registry.stop_cleanup_thread()
    assert not thread.is_alive()


@pytest.mark.parametrize("interval, error", [
    (None, TypeError), ("5", TypeError), (object(), TypeError), (-1, ValueError), (-1.5, ValueError)])
def test_start_refuses_bad_interval(registry, caplog, interval, error):
    with pytest.raises(error, match="interval_minutes"):
        registry.start_cleanup_thread(print, interval_minutes=interval)
    assert registry._cleanup_thread is None and registry._cleanup_callback is None
    assert registry._cleanup_interval_minutes == 5 and messages(caplog) == []


def test_stop_without_live_thread_does_nothing(registry, caplog):
    registry.stop_cleanup_thread()
    registry._cleanup_thread = threading.Thread(target=lambda: None)
    registry.stop_cleanup_thread()
    assert messages(caplog) == [] and not registry._cleanup_stop_event.is_set()


def test_passes_come_one_interval_apart_and_a_stop_ends_the_wait(registry, caplog):
    registry._cleanup_stop_event = event = GatedEvent()
    passes = []
    with mock.patch.object(registry, "_run_cleanup", lambda: passes.append(1)):
        registry.start_cleanup_thread(None, interval_minutes=1)
        wait_for(lambda: event.waits)
        assert passes == []  # no pass at start
        event.release()
        wait_for(lambda: len(event.waits) == 2)
        assert passes == [1] and event.waits == [60, 60]
        registry.stop_cleanup_thread()  # while waiting: no further pass
        thread = registry._cleanup_thread
        assert not thread.is_alive() and passes == [1]
        assert messages(caplog)[-1] == "Stopped cleanup thread"
        registry.stop_cleanup_thread()  # ended thread: nothing
        assert messages(caplog).count("Stopped cleanup thread") == 1

        # The real event, a five-minute interval: the stop still ends the wait at once.
        registry._cleanup_stop_event = threading.Event()
        registry.start_cleanup_thread(None, interval_minutes=5)
        assert registry._cleanup_thread is not thread
        registry.stop_cleanup_thread()
        assert not registry._cleanup_thread.is_alive() and passes == [1]


def test_a_stop_during_a_pass_hands_over_nothing_more(registry, clock, caplog):
    for table in ("a", "b", "c"):
        registry.register("db", table, 1)
    clock.advance(minutes=2)
    handed = []
    entered = threading.Event()

    def callback(database, table):
        handed.append(table)
        entered.set()
        wait_for(registry._cleanup_stop_event.is_set)

    registry.start_cleanup_thread(callback, interval_minutes=0)
    entered.wait(10)
    registry.stop_cleanup_thread()
    assert not registry._cleanup_thread.is_alive()
    assert handed == ["a"] and messages(caplog)[-1] == "Stopped cleanup thread"
    registry._run_cleanup()  # called directly, a pass runs whole
    assert handed == ["a", "a", "b", "c"]


def test_loop_logs_a_failing_pass_and_goes_on(registry, caplog):
    outcomes = itertools.chain([ValueError("bad pass")], itertools.repeat(None))
    passes = []

    def run_cleanup():
        passes.append(1)
        error = next(outcomes)
        if error:
            raise error

    with mock.patch.object(registry, "_run_cleanup", run_cleanup):
        registry.start_cleanup_thread(None, interval_minutes=0)
        wait_for(lambda: len(passes) >= 2)
        registry.stop_cleanup_thread()
    [record] = [r for r in caplog.records if r.levelname == "ERROR"]
    assert record.getMessage() == "Error in cleanup loop: bad pass"
    assert record.exc_info[1].args == ("bad pass",)


# --- one pass -------------------------------------------------------------------

def test_pass_hands_over_expired_tables(registry, clock, caplog):
    calls = []
    registry.register("a", "old", 1)
    registry.register("a", "managed", 1, scheduler_managed=True)
    registry.register("b", "fresh", 10)
    registry._cleanup_callback = lambda d, t: calls.append((d, t))
    clock.advance(minutes=2)
    caplog.clear()
    registry._run_cleanup()
    assert calls == [("a", "old")]
    assert messages(caplog) == ["Cleaning up expired table: a.old"]


def test_pass_marks_read_tables_stale_until_readers_leave(registry, clock, caplog):
    calls = []
    registry.register("db", "t", 1)
    registry.increment_readers("db", "t")
    registry._cleanup_callback = lambda d, t: calls.append((d, t))
    clock.advance(minutes=2)
    caplog.clear()
    registry._run_cleanup()
    assert calls == [] and registry.is_stale("db", "t")
    assert messages(caplog, "INFO") == ["Marked as stale: db.t",
                                        "Table db.t expired but has 1 readers - marked stale"]
    registry.decrement_readers("db", "t")
    registry._run_cleanup()
    assert calls == [("db", "t")]


def test_failing_callback_does_not_stop_the_pass(registry, clock, caplog):
    calls = []

    def callback(database, table):
        calls.append(table)
        if table == "t1":
            raise RuntimeError("drop failed")

    for name in ("t1", "t2"):
        registry.register("db", name, 0)
    registry._cleanup_callback = callback
    clock.advance(seconds=1)
    registry._run_cleanup()
    assert calls == ["t1", "t2"]
    assert messages(caplog, "ERROR") == ["Cleanup callback failed for db.t1: drop failed"]
    assert not any(r.exc_info for r in caplog.records)


def test_without_callback_the_entry_stays(registry, clock, caplog):
    registry.register("db", "t", 0)
    clock.advance(seconds=1)
    registry._run_cleanup()
    registry._run_cleanup()
    assert messages(caplog, "INFO") == ["Cleaning up expired table: db.t"] * 2
    assert registry.exists("db", "t")


class HookedLock:
    """A lock that runs a hook once, the next time it is taken after arming."""

    def __init__(self):
        self.lock = threading.Lock()
        self.hook = None

    def acquire(self, *args, **kwargs):
        hook, self.hook = self.hook, None
        if hook:
            hook()
        return self.lock.acquire(*args, **kwargs)

    def release(self):
        self.lock.release()


@pytest.mark.parametrize("change", ["re-stored", "reader arrived", "reloaded"])
def test_pass_rechecks_before_handing_over(registry, clock, change):
    calls = []
    registry.register("db", "t", 1)
    entry = registry._get_entry("db", "t")
    registry._cleanup_callback = lambda d, t: calls.append((d, t))
    clock.advance(minutes=2)
    lock = registry._registry_lock = HookedLock()
    take_snapshot = registry.get_all_entries

    def change_after_snapshot():
        if change == "re-stored":
            registry._registry["db"]["t"] = tw.TTLEntry(entry.loaded_at, 1)
        elif change == "reader arrived":
            entry.active_readers = 1
        else:
            entry.loaded_at = clock.at

    def snapshot():
        snap = take_snapshot()
        lock.hook = change_after_snapshot  # runs as the pass takes the lock to confirm
        return snap

    with mock.patch.object(registry, "get_all_entries", snapshot):
        registry._run_cleanup()
    assert calls == []
    lock.hook = None
    registry._run_cleanup()
    assert calls == ([("db", "t")] if change == "re-stored" else [])


# --- threads together -----------------------------------------------------------

@pytest.mark.slow  # stress
def test_concurrent_use_leaves_a_consistent_registry(registry):
    errors = []
    handed_over = []

    def callback(database, table):
        handed_over.append((database, table))
        registry.remove(database, table)

    def worker(n):
        rnd = random.Random(n)
        try:
            for i in range(400):
                db, table = f"db{rnd.randrange(3)}", f"t{rnd.randrange(5)}"
                step = rnd.randrange(5)
                if step == 0:
                    registry.register(db, table, rnd.choice([0, 0, 60]))
                elif step == 1:
                    registry.remove(db, table)
                elif step == 2:
                    registry.increment_readers(db, table)
                    registry.is_expired(db, table)
                    registry.decrement_readers(db, table)
                elif step == 3:
                    for tables in registry.get_all_entries().values():
                        assert tables
                else:
                    registry.exists(db, table)
                    registry.has_active_readers(db, table)
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    registry.start_cleanup_thread(callback, interval_minutes=0)
    run_threads(4, worker)
    registry.stop_cleanup_thread()
    assert not registry._cleanup_thread.is_alive()
    assert errors == []
    for tables in registry._registry.values():
        assert tables
        for entry in tables.values():
            assert entry.active_readers == 0
    assert not registry._registry_lock.locked()
