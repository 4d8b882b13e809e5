"""brindle.cellarage.PostgresConnector on a real PostgreSQL server, and the manager building it."""

import logging
import threading
import time
import uuid

import pandas as pd
import psycopg
import pytest

import brindle.cellarage as cellarage
from child_process import run_child
from manager_support import make_manager  # noqa: F401
from pg_server import SNAPSHOTS_DDL, postgresql_dsn  # noqa: F401  (session fixture)

DELETE_ONE = "DELETE FROM brindle_snapshots WHERE service_name = %s AND db_name = %s AND table_name = %s"
INSERT = ("INSERT INTO brindle_snapshots (service_name, db_name, table_name, data, stored_at, row_count) "
          "VALUES (%s, %s, %s, %s, %s, %s)")
SELECT_ONE = "SELECT data FROM brindle_snapshots WHERE service_name = %s AND db_name = %s AND table_name = %s"


@pytest.fixture
def dsn(postgresql_dsn):
    with psycopg.connect(postgresql_dsn, autocommit=True) as admin:
        admin.execute(SNAPSHOTS_DDL)
    return postgresql_dsn


def backends(dsn, application_name):
    with psycopg.connect(dsn, autocommit=True) as admin:
        return admin.execute("SELECT count(*) FROM pg_stat_activity WHERE application_name = %s",
                             (application_name,)).fetchone()[0]


def test_a_statement_past_its_bound_raises_and_the_next_runs_on_a_new_connection(dsn):
    name = "bounded_" + uuid.uuid4().hex[:8]
    connector = cellarage.PostgresConnector(dsn=f"{dsn} application_name={name}", timeout=0.5)
    began = time.monotonic()
    with pytest.raises(TimeoutError, match="did not answer within 0.5 s"):
        connector.execute("SELECT pg_sleep(3)", ())
    assert time.monotonic() - began < 2.5  # gave up, rather than waiting the statement out
    connector.execute("SELECT 1 + %s", (1,))
    assert connector.fetchone() == (2,)
    # The connection given up on is closed once its statement ends.
    deadline = time.monotonic() + 30
    while backends(dsn, name) > 1 and time.monotonic() < deadline:
        time.sleep(0.1)
    assert backends(dsn, name) == 1
    connector.close()


def test_a_failed_insert_keeps_the_old_snapshot_and_a_lone_delete_commits_on_close(dsn):
    key = ("atomic_" + uuid.uuid4().hex[:8], "db", "t")
    connector = cellarage.PostgresConnector(dsn)
    connector.execute(DELETE_ONE, key)
    connector.execute(INSERT, key + (b"old", "2026-01-01T00:00:00+00:00", 1))
    connector.execute(DELETE_ONE, key)
    with pytest.raises(psycopg.errors.NotNullViolation):
        connector.execute(INSERT, key + (None, "2026-01-01T00:00:01+00:00", 2))
    connector.execute(SELECT_ONE, key)
    assert connector.fetchone() == (b"old",)
    connector.execute(DELETE_ONE, key)
    connector.close()
    with psycopg.connect(dsn) as admin:
        assert admin.execute(SELECT_ONE, key).fetchall() == []


def test_close_waits_for_the_statement_another_thread_runs(dsn):
    connector = cellarage.PostgresConnector(dsn, timeout=10)
    outcome = []

    def run():
        connector.execute("SELECT pg_sleep(0.5)", ())
        outcome.append("done")

    worker = threading.Thread(target=run)
    worker.start()
    while connector._connection is None:  # the statement is under way once it has a connection
        time.sleep(0.01)
    connector.close()
    assert outcome == ["done"]  # close() waited: the statement ran to its end on a live connection
    worker.join()
    assert connector._connection is None


@pytest.mark.parametrize("kwargs, error", [
    ({"dsn": "host='unterminated"}, psycopg.ProgrammingError),
    ({"dsn": b"dbname=x"}, TypeError),
    ({"dsn": "dbname=x", "timeout": 0}, ValueError),
    ({"dsn": "dbname=x", "timeout": float("nan")}, ValueError),
    ({"dsn": "dbname=x", "timeout": "5"}, TypeError),
])
def test_bad_arguments_are_refused_when_the_connector_is_built(kwargs, error):
    with pytest.raises(error):
        cellarage.PostgresConnector(**kwargs)


@pytest.mark.parametrize("package, build, message", [
    ("psycopg", "from brindle.cellarage import PostgresConnector; PostgresConnector('dbname=x')",
     "PostgresConnector needs psycopg 3: pip install 'brindle[postgres]'"),
    ("prometheus_client", "brindle.quaymaster.PrometheusCollector(None)",
     "PrometheusCollector needs prometheus_client: pip install 'brindle[metrics]'"),
])
def test_an_optional_package_is_imported_only_for_what_needs_it(tmp_path, package, build, message):
    code = f"""
        import sys
        import brindle.quaymaster
        print({package!r} in sys.modules)
        sys.modules[{package!r}] = None  # as if it were not installed
        try:
            {build}
        except ImportError as e:
            print(e)
    """
    status, out, err = run_child(code, tmp_path)
    assert status == 0, err
    imported, said = out.splitlines()
    assert imported == "False"
    assert said.startswith(message)


def test_the_manager_builds_its_connector_from_external_dsn_and_closes_it(dsn, make_manager):
    service = "from_dsn_" + uuid.uuid4().hex[:8]
    cache = make_manager(service_name=service, external_dsn=dsn)
    connector = cache.persistence.external_connector
    assert isinstance(connector, cellarage.PostgresConnector)
    cache.store("sales", "orders", pd.DataFrame({"v": [1, 2]}))
    with psycopg.connect(dsn) as admin:
        assert admin.execute("SELECT row_count FROM brindle_snapshots WHERE service_name = %s",
                             (service,)).fetchall() == [(2,)]
    cache.shutdown()
    assert connector._connection is None
    # A connector the service passes is the service's: used, never closed.
    given = cellarage.PostgresConnector(dsn)
    other = make_manager(given, service_name=service, external_dsn="dbname=unused")
    assert other.persistence.external_connector is given
    assert other.exists("sales", "orders")  # warmed from the snapshot the first manager saved
    other.shutdown()
    assert given._connection is not None
    given.close()


@pytest.mark.parametrize("signal, connector, warned", [
    (True, None, True),
    (True, "given", False),
    (False, None, False),
])
def test_signalling_without_a_connector_is_warned_of(make_manager, caplog, signal, connector, warned):
    caplog.set_level(logging.WARNING, logger="brindle")
    given = cellarage.PostgresConnector("host=/nonexistent dbname=x", timeout=1) if connector else None
    # No server behind the DSNs: the signalman's own failures are logged apart.
    make_manager(given, signal_enabled=signal, signal_dsn="host=/nonexistent dbname=x", signal_timeout_seconds=1)
    ours = [r for r in caplog.records if r.name == "brindle" and "no external connector" in r.getMessage()]
    assert [r.levelno for r in ours] == ([logging.WARNING] if warned else [])
    if warned:
        assert ours[0].getMessage() == ("signal_enabled is set but there is no external connector: stores stay in "
                                        "this process (set external_dsn or pass external_connector)")


def test_the_process_exits_cleanly_while_given_up_statements_are_still_running(dsn, tmp_path):
    # The abandoned statements end around the time the interpreter finalises,
    # so that some of their threads want the GIL back while it does.
    code = """
        import os
        from brindle.cellarage import PostgresConnector
        for i in range(12):
            connector = PostgresConnector(os.environ["DSN"], timeout=0.05)
            try:
                connector.execute("SELECT pg_sleep(%s)", (0.3 + 0.03 * i,))
            except TimeoutError:
                pass
        print("exiting", flush=True)
    """
    status, out, err = run_child(code, tmp_path, DSN=dsn)
    assert (status, out.strip()) == (0, "exiting"), err
    assert "Fatal" not in err and "FATAL" not in err, err
