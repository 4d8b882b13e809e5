"""BrindleManager as a service sees it: lifecycle, connections, data operations."""

import datetime
import inspect
import logging
import threading
import types
from unittest import mock

import duckdb
import pytest

import brindle.quaymaster as qm
from brindle.errors import BrindleError, BrindleLockError, BrindleNotFoundError
from child_process import run_child
from conftest import records_of
from manager_support import RecordingConnector, frame, make_manager  # noqa: F401

BrindleManager = qm.BrindleManager


# --- the module and the class as Python sees them ----------------------------------

def test_module_names_are_real_attributes_in_import_order():
    names = [n for n in vars(qm) if not n.startswith("__")]
    assert names == ["logging", "threading", "Optional", "Dict", "List", "Tuple", "datetime", "duckdb", "pd",
                     "BrindleConfig", "CacheConfigResolver", "CacheStore", "CacheQuery", "TTLRegistry",
                     "PersistenceCoordinator", "BrindleError", "BrindleNotFoundError", "BrindleLockError",
                     "BrindleStaleError", "Any", "Callable", "Sequence", "Union", "Signalman", "PostgresConnector",
                     "BrindleManager", "PrometheusCollector"]
    assert qm.__doc__ == "Main cache manager - orchestrates storage, querying, and TTL management."
    assert qm.datetime is datetime.datetime
    assert BrindleManager.__doc__.startswith("Main interface for DuckDB in-memory cache.\n\n"
                                             "Singleton pattern - one instance per process.")
    assert type(BrindleManager._lock) is type(threading.Lock())


def test_the_package_hands_out_the_manager_on_first_use(tmp_path):
    status, out, err = run_child("""
        import sys
        import brindle
        assert "brindle.quaymaster" not in sys.modules
        from brindle import BrindleConfig, BrindleManager
        import brindle.quaymaster
        assert BrindleManager is brindle.quaymaster.BrindleManager and "BrindleManager" in brindle.__all__
        try:
            brindle.Nothing
        except AttributeError as e:
            print(e)
    """, tmp_path)
    assert (status, out, err) == (0, "module 'brindle' has no attribute 'Nothing'\n", "")


MEMBERS = [
    ("__init__", "(self, config: 'Optional[BrindleConfig]' = None, external_connector: 'Optional[object]' = None)",
     "Initialize cache manager."),
    ("_get_lock_key", "(self, database: 'str', table: 'Optional[str]', mode: 'str') -> 'Tuple[str, Optional[str]]'",
     "Get lock key based on storage mode."),
    ("_get_connection", "(self, database: 'str', table: 'Optional[str]', mode: 'str', create: 'bool' = True)"
     " -> 'Optional[duckdb.DuckDBPyConnection]'", "Get or create DuckDB connection based on mode."),
    ("store", "(self, database: 'str', table: 'str', df: 'pd.DataFrame', ttl_minutes: 'Optional[int]' = None, "
     "scheduler_managed: 'bool' = False)", "Store DataFrame in cache with atomic swap."),
    ("query", "(self, database: 'str', table: 'str', sql_where: 'Optional[str]' = None, "
     "columns: 'Optional[List[str]]' = None, limit: 'Optional[int]' = None, "
     "*, params: 'Optional[Union[Sequence[Any], Dict[str, Any]]]' = None) -> 'pd.DataFrame'",
     "Query data from cache with optional SQL filtering."),
    ("invalidate", "(self, database: 'str', table: 'Optional[str]' = None)", "Remove table(s) from cache immediately."),
    ("get_last_updated", "(self, database: 'str', table: 'str') -> 'Optional[datetime]'",
     "Get last updated timestamp for a table."),
    ("reload", "(self)", "Reload all persisted data \u2014 from Parquet files and external DB."),
]


@pytest.mark.parametrize("name, signature, first_line", MEMBERS, ids=[m[0] for m in MEMBERS])
def test_methods_show_their_signature_and_docstring(name, signature, first_line):
    fn = vars(BrindleManager)[name]
    assert str(inspect.signature(fn)) == signature
    assert fn.__doc__.splitlines()[0] == first_line
    assert all(type(v) is str for v in fn.__annotations__.values())


def test_members_in_class_body_order():
    members = [n for n in vars(BrindleManager) if not n.startswith("__") or n in ("__new__", "__init__")]
    assert members == ["_instance", "_lock", "__new__", "__init__", "_get_lock_key", "_get_lock", "_get_connection",
                       "store", "query", "query_arrow", "execute_sql", "exists", "invalidate", "_cleanup_table",
                       "_cleanup_database", "_cleanup_expired_table", "get_last_updated", "get_table_info",
                       "get_raw_connection", "_warm_from_external_internal", "warm_from_external",
                       "warm_from_parquet", "reload", "persistence", "shutdown", "stats", "get_or_load",
                       "astore", "aquery", "aquery_arrow", "aexecute_sql", "ainvalidate", "aget_table_info", "awarm_from_external",
                       "awarm_from_parquet", "areload", "astats", "aget_or_load",
                       "_apply_remote_store", "_apply_remote_invalidate", "_held_version", "_note_version",
                       "_versions"]
    assert BrindleManager.persistence.__doc__ == "Access the persistence coordinator for advanced operations."


@pytest.mark.parametrize("call", [
    lambda m: m.store(b"db", "t", frame()),
    lambda m: m.store("db", "t", frame(), ttl_minutes="5"),
    lambda m: m.query("db", "t", columns=("id",)),
    lambda m: m.query("db", "t", sql_where=1),
    lambda m: m.invalidate("db", table=1),
    lambda m: m._get_connection("db", "t", None),
    lambda m: m.warm_from_external(database=1),
], ids=["store-database", "store-ttl", "query-columns-tuple", "query-where", "invalidate-table",
        "get-connection-mode", "warm-database"])
def test_wrong_argument_types_are_refused_before_anything_happens(make_manager, call):
    m = make_manager(connector=RecordingConnector())
    with mock.patch.object(m, "_config_resolver") as resolver, pytest.raises(TypeError):
        call(m)
    assert resolver.mock_calls == [] and m._connections == {}


# --- lifecycle --------------------------------------------------------------------------

def test_singleton_keeps_the_first_configuration(make_manager):
    m = make_manager(log_name="first")
    assert BrindleManager(config=object()) is m and m.config.log_name == "first"
    assert list(vars(m))[:11] == ["_initialized", "config", "logger", "_connections", "_locks", "_store", "_query",
                                  "_ttl_registry", "_config_resolver", "_persistence", "_connection_lock"]
    assert type(m._connection_lock) is type(threading.Lock()) and m.persistence is m._persistence


@pytest.mark.parametrize("config", [None, 0, ""])
def test_a_missing_or_falsy_configuration_comes_from_the_environment(make_manager, config):
    make_manager()  # resets the singletons and registers the clean-up
    BrindleManager._instance = None
    real = qm.BrindleConfig.from_env()
    with mock.patch.object(qm.BrindleConfig, "from_env", return_value=real) as from_env:
        m = BrindleManager(config)
    assert from_env.call_count == 1 and m.config is real
    m.shutdown()


def test_start_up_logs_before_it_is_initialised_and_survives_a_failing_warm_up(make_manager, debug_logs):
    seen = {}

    class Connector(RecordingConnector):
        def execute(self, sql, params):
            seen["initialized"] = BrindleManager._instance._initialized
            raise RuntimeError("outside store down")

    m = make_manager(connector=Connector(), log_name="svc")
    assert m._initialized and seen["initialized"] is True
    own = records_of(debug_logs, "svc")
    assert own[0] == ("INFO", "BrindleManager initialized (mode=single_db, ttl=60min)")
    assert own[-1][0] == "WARNING" and own[-1][1].startswith(
        "Auto-warm from external DB failed: Failed to warm from external DB: outside store down")


def test_a_failed_initialisation_runs_again_on_the_next_construction(make_manager):
    make_manager()
    BrindleManager._instance = None
    with mock.patch.object(qm, "CacheQuery", side_effect=RuntimeError("boom")), pytest.raises(RuntimeError):
        BrindleManager(qm.BrindleConfig())
    again = BrindleManager(qm.BrindleConfig())
    assert again._initialized and again is BrindleManager._instance
    again.shutdown()


def test_collaborators_are_reached_at_call_time(make_manager):
    m = make_manager()
    m.store("db", "t", frame())

    class FakeQuery:
        def query(self, *args):
            return "from the fake"

    m._query = FakeQuery()
    assert m.query("db", "t") == "from the fake"
    with mock.patch("brindle.quaymaster.duckdb") as fake_duckdb:
        assert m._get_connection("other", None, "single_db") is fake_duckdb.connect.return_value
    with mock.patch.object(m, "_persistence") as persistence:
        m.store("db", "u", frame())
    calls = [c[0] for c in persistence.mock_calls if "__" not in c[0]]
    assert calls[:2] == ["should_persist_table", "persist_table_to_parquet"]


# --- connections and locks ------------------------------------------------------------

@pytest.mark.parametrize("mode, shared", [("single_db", True), ("per_table_db", False), ("other", False)])
def test_connections_and_locks_per_mode(make_manager, mode, shared):
    m = make_manager()
    c1, c2 = m._get_connection("a", "t1", mode), m._get_connection("a", "t2", mode)
    l1, l2 = m._get_lock("a", "t1", mode), m._get_lock("a", "t2", mode)
    assert (c1 is c2, l1 is l2) == (shared, shared)
    assert isinstance(c1, duckdb.DuckDBPyConnection) and type(l1) is type(threading.Lock())
    m._cleanup_database("a")
    assert m._get_lock("a", "t1", mode) is l1


@pytest.mark.parametrize("table", [None, ""])
@pytest.mark.parametrize("create", [True, False])
def test_per_table_mode_needs_a_table_name(make_manager, table, create):
    m = make_manager()
    with pytest.raises(BrindleError, match="^Table name required for per_table_db mode$"):
        m._get_connection("a", table, "per_table_db", create=create)
    assert m._get_connection("a", "t", "per_table_db", create=False) is None and m._connections == {}


def test_file_backed_database_logs_its_path(make_manager, tmp_path, caplog):
    caplog.set_level(logging.INFO)
    m = make_manager(persist_base_path=str(tmp_path))
    m.store("a", "t", frame())
    path = str(tmp_path / "a.duckdb")
    assert ("INFO", f"Created file-based DuckDB connection: ('a', None) -> {path}") in records_of(caplog, "brindle")
    m.shutdown()
    assert duckdb.connect(path).execute("SELECT count(*) FROM t").fetchone() == (3,)


# --- store, query and inspection ----------------------------------------------------------

def test_store_then_query_and_inspect(make_manager, caplog):
    caplog.set_level(logging.INFO)
    m = make_manager()
    m.store("sales", "orders", frame(4))
    assert m.exists("sales", "orders")
    assert isinstance(m.get_last_updated("sales", "orders"), datetime.datetime)
    assert m.query("sales", "orders", sql_where="id > 0", columns=["id"], limit=2)["id"].tolist() == [1, 2]
    assert m.get_table_info("sales", "orders")["row_count"] == 4
    assert m.execute_sql("sales", "SELECT count(*) AS n FROM orders")["n"].tolist() == [4]
    assert ("INFO", "Stored 4 rows in sales.orders (mode=single_db, ttl=60min, scheduler_managed=False)") \
        in records_of(caplog, "brindle")


@pytest.mark.parametrize("ttl, scheduler_managed, asks", [
    (None, False, ["get_ttl", "is_scheduler_managed"]),
    (5, False, ["is_scheduler_managed"]),
    (0, True, []),
])
def test_store_asks_the_configuration_only_for_what_it_was_not_given(make_manager, ttl, scheduler_managed, asks):
    m = make_manager()
    real = m._config_resolver
    with mock.patch.object(m, "_config_resolver", wraps=real) as resolver:
        resolver.is_scheduler_managed.return_value = 1
        m.store("db", "t", frame(), ttl_minutes=ttl, scheduler_managed=scheduler_managed)
    # get_duckdb_settings is asked once, when the database is opened.
    assert [c[0] for c in resolver.mock_calls if c[0] not in ("get_mode", "get_duckdb_settings")] == asks
    entry = m._ttl_registry._get_entry("db", "t")
    assert entry.ttl_minutes == (60 if ttl is None else ttl) and entry.scheduler_managed is True


def test_store_times_out_on_a_held_write_lock(make_manager):
    m = make_manager(lock_timeout_seconds=0.05)
    m.store("db", "t", frame(1))
    before = m._ttl_registry._get_entry("db", "t")
    with m._get_lock("db", "t", "single_db"):
        with pytest.raises(BrindleLockError, match=r"^Failed to acquire lock for db.t within 0.05s$") as err:
            m.store("db", "t", frame(2))
    assert err.value.__cause__ is None
    assert m._ttl_registry._get_entry("db", "t") is before and len(m.query("db", "t")) == 1


def test_expired_table_is_not_found_and_stays_marked_stale(make_manager, debug_logs):
    m = make_manager()
    m.store("db", "t", frame(), ttl_minutes=-1)
    with pytest.raises(BrindleNotFoundError, match=r"^Table db.t not found in cache$"):
        m.query("db", "t")
    assert not m.exists("db", "t")
    assert records_of(debug_logs, "brindle")[-2:] == [("INFO", "Table db.t has expired TTL"),
                                                       ("DEBUG", "Table db.t is marked stale")]
    m.store("db", "s", frame(), ttl_minutes=-1, scheduler_managed=True)
    m._ttl_registry.mark_stale("db", "s")
    assert len(m.query("db", "s")) == 3


def test_a_failing_query_leaves_the_reader_count_as_it_was(make_manager):
    m = make_manager()
    m.store("db", "t", frame())
    with pytest.raises(BrindleError, match="^Query failed on table 't'"):
        m.query("db", "t", sql_where="no_such_column > 1 AND")
    assert m._ttl_registry._get_entry("db", "t").active_readers == 0


@pytest.mark.parametrize("call, error, message", [
    (lambda m: m.query("db", "t"), BrindleNotFoundError, "Connection not found for db.t"),
    (lambda m: m.get_table_info("db", "t"), BrindleNotFoundError, "Connection not found for db.t"),
    (lambda m: m.get_raw_connection("db"), BrindleNotFoundError, "Connection not found for db.N/A"),
    (lambda m: m.execute_sql("db", "SELECT 1"), BrindleNotFoundError, "Connection not found for database: db"),
    (lambda m: m.execute_sql("pt", "SELECT 1"), BrindleError, "Table name required for per_table_db mode"),
])
def test_missing_connections_are_reported(make_manager, caplog, call, error, message):
    m = make_manager(databases={"pt": {"mode": "per_table_db"}})
    m._ttl_registry.register("db", "t", 60)  # known to the registry, yet never stored
    with pytest.raises(error) as err:
        call(m)
    assert str(err.value) == message and err.value.__cause__ is None
    if message.startswith("Table name"):
        assert caplog.records[-1].getMessage() == \
            "execute_sql() called in per_table_db mode - cross-table JOINs may not work"


def test_persistence_failures_are_logged_and_the_store_succeeds(make_manager, caplog):
    m = make_manager(connector=RecordingConnector())
    with mock.patch.object(m, "_persistence") as p:
        p.get_db_file_path.return_value = None
        p.persist_table_to_parquet.side_effect = OSError("disk full")
        p.save_to_external.side_effect = RuntimeError("db down")
        assert m.store("db", "t", frame()) is None
    assert [r.getMessage() for r in caplog.records if r.levelname == "WARNING"] == [
        "Parquet persistence failed for db.t: disk full", "External DB save failed for db.t: db down"]
    assert len(m.query("db", "t")) == 3


# --- invalidation and cleanup --------------------------------------------------------------

def test_invalidate_in_each_mode(make_manager, caplog):
    caplog.set_level(logging.INFO)
    m = make_manager(databases={"pt": {"mode": "per_table_db"}, "empty": {"mode": "per_table_db"}})
    for db in ("sd", "pt"):
        m.store(db, "a", frame())
        m.store(db, "b", frame())
    m.invalidate("sd", "a")
    m.invalidate("pt", "a")
    assert len(m.query("sd", "b")) == 3 and len(m.query("pt", "b")) == 3
    assert not m.exists("sd", "a") and not m.exists("pt", "a")
    assert sorted(m._connections) == [("pt", "b"), ("sd", None)]
    assert "Closed connection for pt.a" in [r.getMessage() for r in caplog.records]
    for db in ("sd", "pt", "empty"):
        m.invalidate(db, "")
    assert m._connections == {} and m._ttl_registry.get_all_entries() == {}
    messages = [r.getMessage() for r in caplog.records]
    assert {"Closed connection for database: sd", "Closed 1 connections for database: pt",
            "Closed 0 connections for database: empty"} <= set(messages)


def test_invalidating_a_table_never_stored_only_clears_the_registry(make_manager):
    m = make_manager()
    with mock.patch.object(m, "_store") as store, mock.patch.object(m, "_ttl_registry") as registry:
        assert m.invalidate("db", "t") is None
    assert store.mock_calls == [] and registry.remove.call_args == mock.call("db", "t")


def test_cleanup_gives_up_on_a_held_write_lock(make_manager, caplog):
    m = make_manager(lock_timeout_seconds=0.05)
    m.store("db", "t", frame())
    with m._get_lock("db", "t", "single_db"):
        m._cleanup_table("db", "t")
    assert caplog.records[-1].getMessage() == "Failed to acquire lock for cleanup: db.t"
    assert m.exists("db", "t")


@pytest.mark.parametrize("state, dropped", [
    ("expired", True),
    ("re-stored", False),
    ("being-read", False),
    ("scheduler-managed", False),
    ("gone", False),
])
def test_the_cleanup_callback_confirms_the_decision_under_the_write_lock(make_manager, debug_logs, state, dropped):
    m = make_manager()
    m.store("db", "t", frame(), ttl_minutes=-1)
    if state == "re-stored":
        m.store("db", "t", frame(5), ttl_minutes=60)
    elif state == "being-read":
        m._ttl_registry.increment_readers("db", "t")
    elif state == "scheduler-managed":
        m.store("db", "t", frame(5), ttl_minutes=-1, scheduler_managed=True)
    elif state == "gone":
        m._ttl_registry.remove("db", "t")
    m._cleanup_expired_table("db", "t")
    assert m._store.table_exists(m.get_raw_connection("db"), "t") is not dropped
    messages = [msg for _, msg in records_of(debug_logs, "brindle")]
    assert messages.count("TTL cleanup triggered for db.t") == 1
    assert any(msg.startswith("Skipped TTL cleanup of db.t") for msg in messages) is not dropped


def test_the_cleanup_thread_drops_expired_tables(make_manager):
    m = make_manager(databases={"pt": {"mode": "per_table_db"}})
    m.store("sd", "t", frame(), ttl_minutes=-1)
    m.store("pt", "t", frame(), ttl_minutes=-1)
    m.store("sd", "kept", frame())
    registry = m._ttl_registry
    registry.stop_cleanup_thread()
    registry.start_cleanup_thread(m._cleanup_expired_table, interval_minutes=0)
    deadline = datetime.datetime.now() + datetime.timedelta(seconds=5)
    while m._ttl_registry.get_all_entries() != {"sd": mock.ANY} and datetime.datetime.now() < deadline:
        threading.Event().wait(0.01)
    assert list(m._ttl_registry.get_all_entries()["sd"]) == ["kept"]
    assert list(m._connections) == [("sd", None)]


# --- warm-ups, reload and shutdown -----------------------------------------------------------

def test_parquet_round_trip_through_a_restart(make_manager, tmp_path, caplog):
    databases = {"ref": {"in_memory": True, "tables": {"a": {"persist": True}, "b": {"persist": True}}}}
    m = make_manager(persist_base_path=str(tmp_path / "data"), databases=databases)
    m.store("ref", "a", frame(2))
    m.store("ref", "b", frame(3))
    m.invalidate("ref", "a")
    (tmp_path / "data" / "ref" / "broken.parquet").write_bytes(b"not parquet")
    m2 = make_manager(persist_base_path=str(tmp_path / "data"), databases=databases)
    m2.warm_from_parquet()
    assert len(m2.query("ref", "a")) == 2 and len(m2.query("ref", "b")) == 3
    assert m2._ttl_registry.is_scheduler_managed("ref", "a")
    warnings = [r.getMessage() for r in caplog.records if r.levelname == "WARNING"]
    assert len(warnings) == 1 and warnings[0].startswith("Failed to warm ref.broken from Parquet: Failed to load")


def test_warm_from_external(make_manager, caplog):
    caplog.set_level(logging.INFO)
    connector = RecordingConnector()
    m = make_manager(connector=connector)
    m.store("db1", "t1", frame(1))
    m.store("db2", "t2", frame(2))
    m2 = make_manager(connector=connector)  # warmed at start-up
    assert len(m2.query("db1", "t1")) == 1 and m2.exists("db2", "t2")
    assert m2._ttl_registry.is_scheduler_managed("db2", "t2")
    m2.invalidate("db1")
    m2.warm_from_external("db1")  # a database alone reloads everything
    assert m2.exists("db1", "t1")
    assert m2.warm_from_external("db1", "missing") is None and not m2.exists("db1", "missing")
    m2.warm_from_external("db2", "t2")
    assert caplog.records[-1].getMessage() == "Reloaded db2.t2 from external DB"


def test_without_a_connector(make_manager, caplog):
    caplog.set_level(logging.INFO)
    m = make_manager()
    with pytest.raises(BrindleError, match="^No external connector configured$"):
        m.warm_from_external()
    with mock.patch.object(m, "_persistence", wraps=m._persistence) as p:
        p.warm_all_from_external.return_value = {}
        m._warm_from_external_internal()
        m.reload()
    assert "get_warm_snapshots" not in [c[0] for c in p.mock_calls]
    assert caplog.records[-1].getMessage() == "Cache reload complete"


def test_shutdown_forgets_every_connection_even_when_a_close_fails(make_manager, caplog):
    m = make_manager(databases={"pt": {"mode": "per_table_db"}})
    m.store("sd", "t", frame())
    m.store("pt", "t", frame())
    m.store("x", "t", frame())
    broken = types.SimpleNamespace(close=mock.Mock(side_effect=RuntimeError("stuck")))
    m._connections[("x", None)] = broken
    passes = []
    m._ttl_registry._run_cleanup = lambda: passes.append(1)
    caplog.set_level(logging.INFO, logger="brindle.tidewatch")
    m.shutdown()
    assert m._connections == {} and not m._ttl_registry._cleanup_thread.is_alive() and passes == []
    logged = [r.getMessage() for r in caplog.records]
    assert "Error closing connection ('x', None): stuck" in logged and "Stopped cleanup thread" in logged
    m.store("sd", "t", frame(1))
    assert len(m.query("sd", "t")) == 1


@pytest.mark.parametrize("database", ["sd", "pt"])
def test_after_shutdown_the_tables_closed_are_not_cached(make_manager, database):
    m = make_manager(databases={"pt": {"mode": "per_table_db"}})
    m.store(database, "t", frame(), scheduler_managed=True)
    m.query(database, "t")
    m.shutdown()
    assert not m.exists(database, "t") and m.stats() == [] and m.get_last_updated(database, "t") is None
    with pytest.raises(BrindleNotFoundError, match=f"^Table {database}.t not found in cache$"):
        m.query(database, "t")
    with pytest.raises(BrindleNotFoundError, match=f"^Connection not found for {database}.t$"):
        m.get_table_info(database, "t")
