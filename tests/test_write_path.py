"""Every write of a table goes one way: bounded waits, no self-deadlock, persistence in store order.

Stand-ins take the place of PostgreSQL (the signalling connections) and of the
outside store. Bounds on elapsed time are generous upper limits: each case
used to take several times longer.
"""

import io
import json
import logging
import queue
import threading
import time
import types
from unittest import mock

import pandas as pd
import pytest

from brindle.errors import BrindleLockError
from manager_support import RecordingConnector, frame, make_manager  # noqa: F401


def version_of(data):
    return int(pd.read_parquet(io.BytesIO(data))["version"].iloc[0])


class SavesInOrder(RecordingConnector):
    """Records the version column of every snapshot saved; a save may be held up."""

    def __init__(self):
        super().__init__()
        self.saved, self.hold = [], None

    def execute(self, sql, params):
        if sql.startswith("INSERT"):
            if self.hold is not None:
                hold, self.hold = self.hold, None
                time.sleep(hold)
            self.saved.append(version_of(params[3]))
        super().execute(sql, params)


class SignalHub:
    """The signalling database as the signalman sees it: notifications in, a snapshot that is slow to read."""

    def __init__(self):
        self.notes = queue.Queue()
        self.snapshot = None          # (bytes, version) served to the listener
        self.reading = threading.Event()
        self.read_seconds = 0.0

    def connect(self):
        return SignalConnection(self)


class SignalConnection:
    def __init__(self, hub):
        self.hub, self.closed, self.broken, self.autocommit = hub, False, False, True
        self.rows = []

    def execute(self, sql, params=()):
        if sql.startswith("SELECT data"):
            self.hub.reading.set()
            time.sleep(self.hub.read_seconds)
            self.rows = [self.hub.snapshot] if self.hub.snapshot else []
        elif "advisory" in sql:
            self.rows = [(True,)]
        else:
            self.rows = []
        return self

    def fetchone(self):
        return self.rows[0] if self.rows else None

    def fetchall(self):
        return list(self.rows)

    def notifies(self, timeout=None, stop_after=None):
        try:
            yield self.hub.notes.get(timeout=timeout)
        except queue.Empty:
            return

    def close(self):
        self.closed = True


def store_news(table, version):
    payload = {"service": "brindle", "kind": "store", "database": "db", "table": table, "version": version,
               "saver": "elsewhere:1:1", "ttl_minutes": 60, "scheduler_managed": False}
    return types.SimpleNamespace(payload=json.dumps(payload), channel="brindle_snapshots", pid=1)


def timed(fn, *args, **kwargs):
    started = time.monotonic()
    try:
        fn(*args, **kwargs)
        outcome = None
    except BrindleLockError as e:
        outcome = e
    return time.monotonic() - started, outcome


def test_a_store_does_not_wait_behind_a_slow_reload_of_its_table(make_manager):
    hub = SignalHub()
    m = make_manager(SavesInOrder(), signal_enabled=True, signal_dsn=hub.connect, lock_timeout_seconds=0.5)
    m.store("db", "t", frame(version=1), ttl_minutes=60)
    hub.snapshot = (m.persistence._serialize_df(frame(version=9)), time.time_ns() // 1000 + 10_000_000)
    hub.read_seconds = 3.0
    hub.notes.put(store_news("t", hub.snapshot[1]))
    assert hub.reading.wait(10)
    took, refused = timed(m.store, "db", "t", frame(version=2), ttl_minutes=60)
    assert took < 2.0 and refused is None
    assert m.query("db", "t")["version"].tolist() == [2, 2, 2]


class StoresFromRecord(logging.Handler):
    """Runs `action` once, from inside the first record of `logger_name` starting with `message`."""

    def __init__(self, action, message):
        super().__init__()
        self.action, self.message = action, message
        self.outcome = "not called"

    def emit(self, record):
        if self.outcome != "not called" or not record.getMessage().startswith(self.message):
            return
        try:
            self.outcome = self.action()
        except Exception as e:  # noqa: BLE001 - logging would swallow it
            self.outcome = e


@pytest.mark.parametrize("mode, table, action", [
    ("single_db", "t", "store"),
    ("per_table_db", "t", "store"),
    ("single_db", "u", "store"),       # another table behind the database's one write lock
    ("single_db", "t", "invalidate"),
])
def test_a_handler_writing_from_inside_a_write_is_refused_at_once(make_manager, debug_logs, mode, table, action):
    m = make_manager(default_mode=mode, lock_timeout_seconds=5)
    m.store("db", "t", frame(version=1))
    write = {"store": lambda: m.store("db", table, frame(version=2)),
             "invalidate": lambda: m.invalidate("db", table)}[action]
    handler = StoresFromRecord(write, "Creating temporary table")
    logging.getLogger("brindle.stowage").addHandler(handler)
    try:
        took, refused = timed(m.store, "db", "t", frame(version=3))
    finally:
        logging.getLogger("brindle.stowage").removeHandler(handler)
    assert took < 2.0 and refused is None
    if action == "store":
        assert isinstance(handler.outcome, BrindleLockError)
        assert "from within a write of it on the same thread" in str(handler.outcome)
    else:
        assert ("WARNING", "Failed to acquire lock for cleanup: db.t") in [
            (r.levelname, r.getMessage()) for r in debug_logs.records]
    assert m.query("db", "t")["version"].tolist() == [3, 3, 3]


def test_a_handler_storing_again_from_a_persistence_warning_leaves_the_newer_snapshot_last(make_manager):
    connector = SavesInOrder()
    m = make_manager(connector)
    handler = StoresFromRecord(lambda: m.store("db", "t", frame(version=2)), "Parquet persistence failed")
    m.logger.addHandler(handler)
    failing = mock.Mock(side_effect=[OSError("disk full"), None])
    try:
        with mock.patch.object(m.persistence, "should_persist_table", return_value=True), \
             mock.patch.object(m.persistence, "persist_table_to_parquet", failing):
            m.store("db", "t", frame(version=1))
    finally:
        m.logger.removeHandler(handler)
    assert handler.outcome is None
    assert connector.saved[-1] == 2 and m.query("db", "t")["version"].tolist() == [2, 2, 2]


def test_a_hanging_save_holds_a_store_of_its_table_no_longer_than_the_outside_timeout(make_manager):
    connector = SavesInOrder()
    m = make_manager(connector, external_timeout_seconds=0.5)
    connector.hold = 3.0
    first = threading.Thread(target=m.store, args=("db", "t", frame(version=1)))
    first.start()
    time.sleep(0.3)  # the first save is hanging now
    took, refused = timed(m.store, "db", "t", frame(version=2))
    first.join(10)
    assert took < 1.5 and refused is None
    # The later store's snapshot was handed to the one saving and lands last.
    assert connector.saved == [1, 2]


def invalidate_news(table, version):
    payload = {"service": "brindle", "kind": "invalidate", "database": "db", "table": table, "version": version,
               "saver": "elsewhere:1:1", "ttl_minutes": None, "scheduler_managed": False}
    return types.SimpleNamespace(payload=json.dumps(payload), channel="brindle_snapshots", pid=1)


@pytest.mark.parametrize("mode", ["single_db", "per_table_db"])
@pytest.mark.parametrize("older", [["t", "u"], ["t"], []])
def test_a_whole_database_invalidation_from_another_process_drops_only_what_is_older(make_manager, mode, older):
    hub = SignalHub()
    m = make_manager(SavesInOrder(), signal_enabled=True, signal_dsn=hub.connect, default_mode=mode)
    for table in older:
        m.store("db", table, frame())
    time.sleep(0.01)
    version = time.time_ns() // 1000
    time.sleep(0.01)
    newer = [t for t in ["t", "u"] if t not in older]
    for table in newer:
        m.store("db", table, frame())
    hub.notes.put(invalidate_news(None, version))
    hub.notes.put(invalidate_news("marker", version + 1))   # handled after the one above
    deadline = time.monotonic() + 10
    while ("db", "marker") not in m._signalman.versions() and time.monotonic() < deadline:
        time.sleep(0.02)
    assert sorted(t for t in ["t", "u"] if m.exists("db", t)) == newer
    sources = {s["table"]: (s["version"], s["version_source"]) for s in m.stats()}
    assert all(sources[t][1] == "stored here" and sources[t][0] > version for t in newer)
    held = m._signalman.versions()
    assert all(held[("db", t)] == (version, "invalidated by elsewhere:1:1") for t in older)


@pytest.mark.parametrize("dsn, options, keepalives_idle", [
    ("host=db.internal dbname=cache", "-c statement_timeout=2500", 3),
    ("host=db.internal options='-c search_path=cache' keepalives_idle=60",
     "-c search_path=cache -c statement_timeout=2500", None),
])
def test_signal_connections_bound_their_statements(make_manager, dsn, options, keepalives_idle):
    from brindle.signalman import Signalman
    m = make_manager(signal_timeout_seconds=2.5)
    m.config.signal_dsn = dsn
    with mock.patch("psycopg.connect") as connect:
        Signalman(m, m.config).connect()
    (given,), settings = connect.call_args
    assert given == dsn and settings["options"] == options and settings["connect_timeout"] == 3
    assert settings.get("keepalives_idle") == keepalives_idle and settings["autocommit"] is True


@pytest.mark.parametrize("mode", ["single_db", "per_table_db"])
def test_a_store_racing_a_whole_database_invalidation_from_another_process_is_kept(make_manager, mode):
    hub = SignalHub()
    m = make_manager(SavesInOrder(), signal_enabled=True, signal_dsn=hub.connect, default_mode=mode)
    for table in ["t", "u"]:
        m.store("db", table, frame(version=1))
    version = time.time_ns() // 1000 + 1
    cleanup_database = m._cleanup_database
    racer = threading.Thread(target=m.store, args=("db", "t", frame(version=2)))

    def store_in_the_window(database):
        racer.start()
        racer.join(0.5)  # lands here unless the invalidation holds the table's write
        cleanup_database(database)

    with mock.patch.object(m, "_cleanup_database", side_effect=store_in_the_window):
        assert m._apply_remote_invalidate("db", None, version, "elsewhere:1:1") is True
    racer.join(10)
    assert not m.exists("db", "u")
    assert m.query("db", "t")["version"].tolist() == [2, 2, 2]
