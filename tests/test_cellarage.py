import inspect
import logging
import os
import threading
import time
from datetime import datetime, timezone
from unittest import mock

import pandas as pd
import pytest

from brindle import cellarage
from brindle.cellarage import PersistenceCoordinator
from brindle.config import BrindleConfig, CacheConfigResolver
from brindle.errors import BrindlePersistenceError
from cellarage_frames import (changed_dtype_frame, expected_after_round_trip, expected_changed_dtypes,
                              expected_empty_after_round_trip, mixed_frame)
from conftest import records_of, run_threads, threads_running

LOGGER = "svc.persistence"

DELETE_ONE = "DELETE FROM brindle_snapshots WHERE service_name = %s AND db_name = %s AND table_name = %s"
INSERT = ("INSERT INTO brindle_snapshots (service_name, db_name, table_name, data, stored_at, row_count) "
          "VALUES (%s, %s, %s, %s, %s, %s)")
SELECT_ONE = "SELECT data FROM brindle_snapshots WHERE service_name = %s AND db_name = %s AND table_name = %s"
SELECT_SERVICE = "SELECT db_name, table_name, data FROM brindle_snapshots WHERE service_name = %s"
DELETE_DATABASE = "DELETE FROM brindle_snapshots WHERE service_name = %s AND db_name = %s"


class FakeConnector:
    """Records statements; answers fetches from what the test queued."""

    def __init__(self, one=None, rows=(), fail=None):
        self.calls = []
        self.one = one
        self.rows = list(rows)
        self.fail = fail

    def execute(self, sql, params):
        self.calls.append((sql, params))
        if self.fail:
            raise self.fail

    def fetchone(self):
        self.calls.append(("fetchone",))
        return self.one

    def fetchall(self):
        self.calls.append(("fetchall",))
        return self.rows


class FalseConnector(FakeConnector):
    def __bool__(self):
        return False


def make_config(base=None):
    return BrindleConfig(log_name="svc", persist_base_path=base, service_name="orders")


@pytest.fixture
def coordinator(tmp_path):
    return PersistenceCoordinator(make_config(str(tmp_path / "base")), CacheConfigResolver(None))


def write_config(tmp_path, databases):
    import json
    path = tmp_path / "connector_config.json"
    path.write_text(json.dumps({"databases": databases}))
    return str(path)


# --- the Python face -------------------------------------------------------------------------


def test_module_names_and_class_shape():
    for name in ("io", "os", "logging", "datetime", "timezone", "pd", "BrindlePersistenceError"):
        assert hasattr(cellarage, name), name
    assert cellarage.datetime is datetime and cellarage.timezone is timezone
    assert PersistenceCoordinator.__bases__ == (object,)
    assert str(inspect.signature(PersistenceCoordinator)) == (
        "(config: 'BrindleConfig', config_resolver: 'CacheConfigResolver', "
        "external_connector: 'Optional[Any]' = None)")
    assert str(inspect.signature(PersistenceCoordinator.delete_from_external)) == (
        "(self, database: 'str', table: 'Optional[str]' = None)")


def test_constructor_keeps_collaborators_and_names_logger():
    config, resolver, connector = make_config(), CacheConfigResolver(None), object()
    p = PersistenceCoordinator(config=config, config_resolver=resolver, external_connector=connector)
    assert (p.config, p.config_resolver, p.external_connector) == (config, resolver, connector)
    assert p.logger is logging.getLogger("svc.persistence")
    assert not hasattr(p, "_warm_snapshots")


@pytest.mark.parametrize("call", [
    lambda p: p.get_db_file_path(None),
    lambda p: p.should_persist_table("db", b"t"),
    lambda p: p.persist_table_to_parquet(None, "t", pd.DataFrame()),
    lambda p: p.load_from_external("db", 1),
    lambda p: p.delete_from_external("db", table=3),
    lambda p: p._deserialize_df(bytearray(b"PAR1")),
])
def test_wrong_argument_types_are_refused(coordinator, call):
    coordinator.external_connector = FakeConnector()
    with pytest.raises(TypeError):
        call(coordinator)
    assert coordinator.external_connector.calls == []


# --- database files --------------------------------------------------------------------------


def test_in_memory_database_has_no_file_and_asks_table_mark(tmp_path, debug_logs):
    resolver = mock.Mock()
    resolver.get_persist_path.return_value = None
    resolver.is_table_persistent.return_value = "yes"
    p = PersistenceCoordinator(make_config(), resolver)
    assert p.get_db_file_path("db") is None
    assert p.is_db_file_based("db") is False
    assert p.should_persist_table("db", "t") == "yes"  # the resolver's answer, unchanged
    resolver.get_persist_path.assert_called_with("db", None)
    resolver.is_table_persistent.assert_called_once_with("db", "t")
    assert records_of(debug_logs, LOGGER) == []


def test_file_path_creates_its_directory_every_time(tmp_path, debug_logs):
    target = str(tmp_path / "deep" / "er" / "db.duckdb")
    resolver = mock.Mock()
    resolver.get_persist_path.return_value = target
    p = PersistenceCoordinator(make_config(str(tmp_path)), resolver)
    for _ in range(2):
        assert p.get_db_file_path("db") == target
        assert os.path.isdir(os.path.dirname(target))
        os.rmdir(os.path.dirname(target))
    resolver.get_persist_path.assert_called_with("db", str(tmp_path))
    assert p.should_persist_table("db", "t") is False
    resolver.is_table_persistent.assert_not_called()
    debug = [r for r in debug_logs.records if r.name == LOGGER]
    assert debug[0].msg == "Resolved DB file path for '%s': %s" and debug[0].args == ("db", target)


def test_resolver_paths_from_configuration_file(tmp_path):
    base = str(tmp_path / "base")
    own = str(tmp_path / "own" / "sales.duckdb")
    resolver = CacheConfigResolver(write_config(tmp_path, {
        "sales": {"persist_path": own},
        "hot": {"in_memory": True, "tables": {"t": {"persist": True}}},
    }))
    p = PersistenceCoordinator(make_config(base), resolver)
    assert p.get_db_file_path("sales") == own and os.path.isdir(tmp_path / "own")
    assert p.get_db_file_path("other") == os.path.join(base, "other.duckdb")
    assert p.get_db_file_path("hot") is None
    assert p.should_persist_table("hot", "t") is True
    assert p.should_persist_table("hot", "u") is False
    assert p.should_persist_table("other", "t") is False


def test_bare_file_name_needs_no_directory(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    resolver = mock.Mock()
    resolver.get_persist_path.return_value = "db.duckdb"
    assert PersistenceCoordinator(make_config(), resolver).get_db_file_path("db") == "db.duckdb"


def test_directory_that_cannot_be_created(tmp_path):
    (tmp_path / "blocker").write_text("a file where a directory should be")
    directory = str(tmp_path / "blocker" / "sub")
    resolver = mock.Mock()
    resolver.get_persist_path.return_value = os.path.join(directory, "db.duckdb")
    p = PersistenceCoordinator(make_config(), resolver)
    for call in (p.get_db_file_path, p.is_db_file_based, lambda db: p.should_persist_table(db, "t")):
        with pytest.raises(BrindlePersistenceError) as info:
            call("db")
        assert isinstance(info.value.__cause__, OSError)
        assert str(info.value) == f"Cannot create persist directory '{directory}': {info.value.__cause__}"


# --- Parquet table files ---------------------------------------------------------------------


def test_table_file_layout_and_round_trip(coordinator, tmp_path, debug_logs):
    base = str(tmp_path / "base")
    df = mixed_frame()
    assert coordinator._get_parquet_path("db", "t") == os.path.join(base, "db", "t.parquet")
    assert coordinator.persist_table_to_parquet("db", "t", df) is None
    assert os.listdir(os.path.join(base, "db")) == ["t.parquet"]  # no temporary left behind
    back = coordinator.load_table_from_parquet("db", "t")
    pd.testing.assert_frame_equal(back, expected_after_round_trip(df))
    path = os.path.join(base, "db", "t.parquet")
    assert [(r.levelname, r.msg, r.args) for r in debug_logs.records if r.name == LOGGER] == [
        ("INFO", "Persisted table '%s.%s' to Parquet (%d rows): %s", ("db", "t", 3, path)),
        ("INFO", "Loaded table '%s.%s' from Parquet (%d rows): %s", ("db", "t", 3, path)),
    ]


@pytest.mark.parametrize("make, expect", [
    (changed_dtype_frame, expected_changed_dtypes),
    (lambda: mixed_frame().iloc[0:0], expected_empty_after_round_trip),
], ids=["changed-dtypes", "empty"])
def test_round_trip_dtype_changes_pandas_makes(coordinator, make, expect):
    df = make()
    coordinator.persist_table_to_parquet("db", "t", df)
    pd.testing.assert_frame_equal(coordinator.load_table_from_parquet("db", "t"), expect(df))


def test_writing_again_replaces_the_file(coordinator):
    coordinator.persist_table_to_parquet("db", "t", pd.DataFrame({"a": [1, 2]}))
    coordinator.persist_table_to_parquet("db", "t", pd.DataFrame({"b": ["x"]}))
    pd.testing.assert_frame_equal(coordinator.load_table_from_parquet("db", "t"), pd.DataFrame({"b": ["x"]}))


class InterruptedWrite(pd.DataFrame):
    """Writes half a file, then fails, as a full disk or a crash would."""

    def to_parquet(self, path, index=True):
        with open(path, "wb") as f:
            f.write(b"PAR1 half a file")
        raise OSError("No space left on device")


def test_failed_write_keeps_the_previous_copy(coordinator, tmp_path):
    good = pd.DataFrame({"a": [1, 2, 3]})
    coordinator.persist_table_to_parquet("db", "t", good)
    with pytest.raises(BrindlePersistenceError) as info:
        coordinator.persist_table_to_parquet("db", "t", InterruptedWrite({"a": [9]}))
    assert str(info.value) == "Failed to persist table 'db.t' to Parquet: No space left on device"
    assert isinstance(info.value.__cause__, OSError)
    assert os.listdir(tmp_path / "base" / "db") == ["t.parquet"]
    pd.testing.assert_frame_equal(coordinator.load_table_from_parquet("db", "t"), good)


def test_concurrent_writes_of_one_table_never_mix(coordinator):
    frames = [pd.DataFrame({"v": [i] * 20000}) for i in range(4)]
    errors = []

    def writer(df):
        try:
            for _ in range(5):
                coordinator.persist_table_to_parquet("db", "t", df)
        except Exception as exc:  # pragma: no cover - reported below
            errors.append(exc)

    run_threads(len(frames), lambda i: writer(frames[i]))
    assert errors == []
    back = coordinator.load_table_from_parquet("db", "t")
    assert len(back) == 20000 and back["v"].nunique() == 1



def test_reads_during_replaces_get_one_whole_file(coordinator):
    frames = [pd.DataFrame({"v": range(n), "s": [f"row {i}" for i in range(n)]}) for n in (100, 3000)]
    coordinator.persist_table_to_parquet("db", "t", frames[0])
    done = threading.Event()

    def replace_again_and_again():
        i = 0
        while not done.is_set():
            i += 1
            coordinator.persist_table_to_parquet("db", "t", frames[i % 2])

    with threads_running(1, lambda i: replace_again_and_again()):
        try:
            deadline = time.monotonic() + 0.5
            while time.monotonic() < deadline:
                back = coordinator.load_table_from_parquet("db", "t")
                pd.testing.assert_frame_equal(back, frames[0] if len(back) == 100 else frames[1])
        finally:
            done.set()


def test_corrupt_file_gives_chained_error(coordinator, tmp_path):
    os.makedirs(tmp_path / "base" / "db")
    (tmp_path / "base" / "db" / "t.parquet").write_bytes(b"not parquet at all")
    with pytest.raises(BrindlePersistenceError) as info:
        coordinator.load_table_from_parquet("db", "t")
    cause = info.value.__cause__
    assert cause is not None
    assert str(info.value) == f"Failed to load table 'db.t' from Parquet: {cause}"


def test_missing_table_file_loads_as_none_silently(coordinator, debug_logs):
    assert coordinator.load_table_from_parquet("db", "never") is None
    assert records_of(debug_logs, LOGGER) == []


@pytest.mark.parametrize("base", [None, ""])
def test_no_base_path_writes_reads_and_lists_nothing(tmp_path, monkeypatch, debug_logs, base):
    monkeypatch.chdir(tmp_path)
    p = PersistenceCoordinator(make_config(base), CacheConfigResolver(None))
    assert p._get_parquet_path("db", "t") is None
    assert p.persist_table_to_parquet("db", "t", pd.DataFrame({"a": [1]})) is None
    assert p.load_table_from_parquet("db", "t") is None
    assert p.list_persisted_parquet_tables() == []
    assert os.listdir(tmp_path) == []
    assert records_of(debug_logs, LOGGER) == []


UNSAFE_DATABASES = ["", ".", "..", "a/b", "/etc", "a\\b", "a\0b"]
UNSAFE_TABLES = [".", "..", "x/y", "/tmp/x", "../../x", "a\0b"]


@pytest.mark.parametrize("database, table",
                         [(db, "t") for db in UNSAFE_DATABASES] + [("db", t) for t in UNSAFE_TABLES])
def test_names_leaving_the_base_directory_are_refused(tmp_path, database, table):
    base = tmp_path / "inner" / "base"
    base.mkdir(parents=True)
    p = PersistenceCoordinator(make_config(str(base)), CacheConfigResolver(None))
    for call in (lambda: p.persist_table_to_parquet(database, table, pd.DataFrame({"a": [1]})),
                 lambda: p.load_table_from_parquet(database, table)):
        with pytest.raises(BrindlePersistenceError, match="for persistence: it must be"):
            call()
    assert sorted(os.listdir(tmp_path / "inner")) == ["base"] and os.listdir(base) == []


@pytest.mark.parametrize("database", ["..", "a/b", "/abs"])
def test_database_file_names_leaving_the_base_directory_are_refused(tmp_path, database):
    base = tmp_path / "base"
    p = PersistenceCoordinator(make_config(str(base)), CacheConfigResolver(None))
    with pytest.raises(BrindlePersistenceError, match="Invalid database identifier"):
        p.get_db_file_path(database)
    assert os.listdir(tmp_path) == []


def test_odd_database_names_stay_usable_in_memory():
    p = PersistenceCoordinator(make_config(), CacheConfigResolver(None))
    assert p.get_db_file_path("a/b") is None


def test_listing_rules(coordinator, tmp_path):
    base = tmp_path / "base"
    for rel in ["db1/t1.parquet", "db1/t2.parquet.bak", "db1/T3.PARQUET", "db1/.parquet", "db1/..parquet",
                "db1/...parquet", "db1/notes.txt", "db2/x.parquet", "stray.parquet", "db1/a\\b.parquet"]:
        path = base / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(b"")
    (base / "db2" / "dirlike.parquet").mkdir()
    (base / "empty").mkdir()
    coordinator.persist_table_to_parquet("db3", "real", pd.DataFrame({"a": [1]}))
    assert sorted(coordinator.list_persisted_parquet_tables()) == [
        ("db1", ""), ("db1", "t1"), ("db2", "dirlike"), ("db2", "x"), ("db3", "real")]


def test_listing_a_missing_base_is_empty(tmp_path):
    p = PersistenceCoordinator(make_config(str(tmp_path / "nowhere")), CacheConfigResolver(None))
    assert p.list_persisted_parquet_tables() == []


def test_listing_stops_at_an_unreadable_directory(coordinator, tmp_path, debug_logs):
    base = str(tmp_path / "base")
    for db in ("a", "b", "c"):
        coordinator.persist_table_to_parquet(db, "t", pd.DataFrame({"x": [1]}))
    real_listdir = os.listdir

    def listdir(path):
        if path == os.path.join(base, "b"):
            raise PermissionError("denied")
        return sorted(real_listdir(path))

    with mock.patch.object(cellarage.os, "listdir", side_effect=listdir):
        assert coordinator.list_persisted_parquet_tables() == [("a", "t")]
    warning = [r for r in debug_logs.records if r.name == LOGGER and r.levelname == "WARNING"]
    assert warning[0].msg == "Error listing persisted tables: %s"
    assert isinstance(warning[0].args[0], PermissionError)


# --- external snapshot store (fake connector) ------------------------------------------------


@pytest.fixture
def external(tmp_path):
    def make(**kwargs):
        connector = FakeConnector(**kwargs)
        return PersistenceCoordinator(make_config(), CacheConfigResolver(None), connector), connector
    return make


def snapshot_bytes(df):
    return PersistenceCoordinator(make_config(), None)._serialize_df(df)


def test_save_sends_delete_then_insert(external, debug_logs):
    p, connector = external()
    fixed = datetime(2026, 3, 1, 12, 30, 45, 123456, tzinfo=timezone.utc)
    clock = mock.Mock()
    clock.now.return_value = fixed
    df = mixed_frame()
    with mock.patch("brindle.cellarage.datetime", clock):
        assert p.save_to_external("db", "t", df) is None
    clock.now.assert_called_once_with(timezone.utc)
    (delete_sql, delete_params), (insert_sql, insert_params) = connector.calls
    assert (delete_sql, delete_params) == (DELETE_ONE, ("orders", "db", "t"))
    assert insert_sql == INSERT
    assert insert_params[:3] == ("orders", "db", "t")
    assert insert_params[4:] == ("2026-03-01T12:30:45.123456+00:00", 3)
    data = insert_params[3]
    assert type(data) is bytes
    pd.testing.assert_frame_equal(p._deserialize_df(data), expected_after_round_trip(df))
    [record] = [r for r in debug_logs.records if r.name == LOGGER]
    assert record.msg == "Saved snapshot '%s.%s' to external DB (%d rows, %d bytes)"
    assert record.args == ("db", "t", 3, len(data))


def test_real_clock_gives_utc_iso_text(external):
    p, connector = external()
    p.save_to_external("db", "t", pd.DataFrame({"a": [1]}))
    stamp = connector.calls[1][1][4]
    assert stamp.endswith("+00:00") and "T" in stamp
    assert abs((datetime.now(timezone.utc) - datetime.fromisoformat(stamp)).total_seconds()) < 60


def test_load_sends_select_one(external, debug_logs):
    df = pd.DataFrame({"a": [1, 2]}, index=[7, 8])
    p, connector = external(one=(snapshot_bytes(df),))
    pd.testing.assert_frame_equal(p.load_from_external("db", "t"), df.reset_index(drop=True))
    assert connector.calls == [(SELECT_ONE, ("orders", "db", "t")), ("fetchone",)]
    assert [(r.msg, r.args) for r in debug_logs.records if r.name == LOGGER] == [
        ("Loaded snapshot '%s.%s' from external DB (%d rows)", ("db", "t", 2))]


def test_load_of_missing_snapshot_is_none_silently(external, debug_logs):
    p, _ = external(one=None)
    assert p.load_from_external("db", "t") is None
    assert records_of(debug_logs, LOGGER) == []


def test_warm_up_and_handover(external, debug_logs):
    frames = [pd.DataFrame({"n": [i]}) for i in range(3)]
    rows = [("db1", "t1", snapshot_bytes(frames[0])), ("db2", "t2", snapshot_bytes(frames[1])),
            ("db1", "t3", snapshot_bytes(frames[2]))]
    p, connector = external(rows=rows)
    loaded = p.warm_all_from_external()
    assert list(loaded.items()) == [("db1", ["t1", "t3"]), ("db2", ["t2"])]
    assert connector.calls == [(SELECT_SERVICE, ("orders",)), ("fetchall",)]
    handed = p.get_warm_snapshots()
    assert [(db, t) for db, t, _ in handed] == [("db1", "t1"), ("db2", "t2"), ("db1", "t3")]
    for (_, _, df), want in zip(handed, frames):
        pd.testing.assert_frame_equal(df, want)
    assert p.get_warm_snapshots() == [] and p._warm_snapshots == []
    [record] = [r for r in debug_logs.records if r.name == LOGGER]
    assert (record.msg, record.args) == ("Loaded %d snapshots from external DB for service '%s'", (3, "orders"))


@pytest.mark.parametrize("bad_row, cause", [
    (("db", "t"), ValueError),
    (("db", "t", b"x", "extra"), ValueError),
    (("db", "t", memoryview(b"PAR1")), TypeError),
])
def test_one_bad_row_aborts_the_warm_up(external, bad_row, cause):
    good = ("db", "ok", snapshot_bytes(pd.DataFrame({"x": [1]})))
    p, connector = external(rows=[good])
    p.warm_all_from_external()
    connector.rows = [good, bad_row]
    with pytest.raises(BrindlePersistenceError) as info:
        p.warm_all_from_external()
    assert str(info.value).startswith("Failed to warm from external DB: ")
    assert isinstance(info.value.__cause__, cause)
    assert [(db, t) for db, t, _ in p.get_warm_snapshots()] == [("db", "ok")]


def test_a_row_that_is_not_parquet_costs_only_its_table(external, caplog):
    good = [("db", t, snapshot_bytes(pd.DataFrame({"x": [i]}))) for i, t in enumerate(("a", "c"))]
    p, _ = external(rows=[good[0], ("db", "b", b"not parquet"), good[1]])
    assert p.warm_all_from_external() == {"db": ["a", "c"]}
    assert [(db, t) for db, t, _ in p.get_warm_snapshots()] == [("db", "a"), ("db", "c")]
    [skipped] = [r for r in caplog.records if r.msg.startswith("Skipped snapshot")]
    assert skipped.levelname == "WARNING" and skipped.args[:2] == ("db", "b")


def test_failed_first_warm_up_hands_over_nothing(external):
    p, _ = external(rows=[("db", "t")])
    with pytest.raises(BrindlePersistenceError):
        p.warm_all_from_external()
    assert not hasattr(p, "_warm_snapshots")
    assert p.get_warm_snapshots() == []


@pytest.mark.parametrize("table, sql, params, shown", [
    ("t", DELETE_ONE, ("orders", "db", "t"), "t"),
    (None, DELETE_DATABASE, ("orders", "db"), "*"),
    ("", DELETE_DATABASE, ("orders", "db"), "*"),
])
def test_delete_statements(external, debug_logs, table, sql, params, shown):
    p, connector = external()
    assert p.delete_from_external("db", table) is None
    assert connector.calls == [(sql, params)]
    [record] = [r for r in debug_logs.records if r.name == LOGGER]
    assert (record.levelname, record.msg, record.args) == (
        "INFO", "Deleted external snapshot(s): %s.%s", ("db", shown))


@pytest.mark.parametrize("make_connector", [lambda: None, FalseConnector], ids=["none", "false"])
def test_connector_gate(make_connector, debug_logs):
    connector = make_connector()
    p = PersistenceCoordinator(make_config(), CacheConfigResolver(None), connector)
    assert p.has_external_connector() is (connector is not None)
    assert p.save_to_external("db", "t", pd.DataFrame({"a": [1]})) is None
    assert p.load_from_external("db", "t") is None
    assert p.warm_all_from_external() == {}
    assert p.delete_from_external("db") is None
    assert p.get_warm_snapshots() == []
    assert connector is None or connector.calls == []
    assert records_of(debug_logs, LOGGER) == []


def test_failing_connector(external, debug_logs):
    boom = RuntimeError("server closed the connection")
    p, _ = external(fail=boom)
    for call, message in [
        (lambda: p.save_to_external("db", "t", pd.DataFrame({"a": [1]})), "Failed to save 'db.t' to external DB: "),
        (lambda: p.load_from_external("db", "t"), "Failed to load 'db.t' from external DB: "),
        (p.warm_all_from_external, "Failed to warm from external DB: "),
    ]:
        with pytest.raises(BrindlePersistenceError) as info:
            call()
        assert str(info.value) == message + str(boom) and info.value.__cause__ is boom
    assert p.delete_from_external("db", "t") is None
    warning = [r for r in debug_logs.records if r.name == LOGGER][-1]
    assert (warning.levelname, warning.msg, warning.args) == (
        "WARNING", "Failed to delete external snapshot '%s.%s': %s", ("db", "t", boom))


def test_frame_that_cannot_be_serialised_sends_nothing(external):
    p, connector = external()
    with pytest.raises(BrindlePersistenceError, match="^Failed to save 'db.t' to external DB: "):
        p.save_to_external("db", "t", pd.DataFrame({"mixed": [1, "a"]}))
    assert connector.calls == []


class SlowSharedConnector:
    """One pending result, like a DB-API cursor; slow enough to interleave."""

    def __init__(self, snapshots):
        self.snapshots = snapshots
        self.pending = None

    def execute(self, sql, params):
        self.pending = params[2]
        time.sleep(0.0005)

    def fetchone(self):
        return (self.snapshots[self.pending],)


def test_threads_sharing_a_connector_get_their_own_rows():
    tables = [f"t{i}" for i in range(6)]
    connector = SlowSharedConnector({t: snapshot_bytes(pd.DataFrame({"table": [t]})) for t in tables})
    p = PersistenceCoordinator(make_config(), CacheConfigResolver(None), connector)
    wrong = []

    def reader(table):
        for _ in range(30):
            got = p.load_from_external("db", table)["table"][0]
            if got != table:
                wrong.append((table, got))

    run_threads(len(tables), lambda i: reader(tables[i]))
    assert wrong == []
