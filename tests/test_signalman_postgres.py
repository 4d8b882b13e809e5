"""Several service processes kept coherent through a real PostgreSQL server.

Each child is a service process (the example connector, signalling on) that
takes one JSON command a line on stdin and answers one JSON line. Waits poll
with generous bounds; nothing here asserts how long anything took.
"""

import json
import os
import select
import subprocess
import sys
import textwrap

import psycopg
import pytest

from child_process import child_env
from pg_server import SNAPSHOTS_DDL, postgresql_dsn, restart_postgresql  # noqa: F401  (session fixture)

pytestmark = pytest.mark.slow  # several processes

EXAMPLES = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples")

SERVICE = """
    import json, os, sys, time
    sys.path.insert(0, os.environ["EXAMPLES"])
    import pandas as pd
    from brindle.config import BrindleConfig
    from brindle.errors import BrindleNotFoundError
    from brindle.quaymaster import BrindleManager
    from postgres_connector import PostgresConnector

    dsn = os.environ["DSN"]
    named = dsn + " application_name=" + os.environ["NAME"]
    config = BrindleConfig(service_name="coherent", signal_enabled=True, signal_reconnect_max_seconds=0.5,
                           signal_dsn=named, cleanup_interval_minutes=60)
    cache = BrindleManager(config, external_connector=PostgresConnector(dsn, timeout=10))

    def serving(table):
        try:
            return cache.query("sales", table)["v"].tolist()
        except BrindleNotFoundError:
            return None

    def load():
        with open(os.environ["LOADS"], "a") as f:
            f.write(os.environ["NAME"] + "\\n")
        time.sleep(1.0)  # long enough for every other process to find the table missing
        return pd.DataFrame({"v": [7, 8]})

    print(json.dumps("ready"), flush=True)
    for line in sys.stdin:
        cmd = json.loads(line)
        op, table = cmd["op"], cmd.get("table", "orders")
        reply = None
        if op == "store":
            cache.store("sales", table, pd.DataFrame({"v": cmd["rows"]}), ttl_minutes=cmd.get("ttl"))
        elif op == "invalidate":
            cache.invalidate("sales", table)
        elif op == "wait":
            deadline = time.monotonic() + 60
            while serving(table) != cmd["rows"] and time.monotonic() < deadline:
                time.sleep(0.02)
            reply = serving(table)
        elif op == "load":
            reply = cache.get_or_load("sales", table, load, ttl_minutes=5)["v"].tolist()
        elif op == "stats":
            reply = {s["table"]: [s["version_source"], s["ttl_seconds"]] for s in cache.stats()}
        print(json.dumps(reply), flush=True)
    cache.shutdown()
"""


class Service:
    def __init__(self, tmp_path, dsn, name):
        self.name = name
        env = child_env(DSN=dsn, NAME=name, EXAMPLES=EXAMPLES, LOADS=str(tmp_path / "loads.txt"))
        self.process = subprocess.Popen([sys.executable, "-c", textwrap.dedent(SERVICE)], env=env, cwd=tmp_path,
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        text=True)
        assert self.read() == "ready"

    def read(self, timeout=120):
        ready, _, _ = select.select([self.process.stdout], [], [], timeout)
        line = self.process.stdout.readline() if ready else ""
        assert line, f"{self.name} gave no answer: {self.process.stderr.read() if not ready else ''}"
        return json.loads(line)

    def send(self, **cmd):
        self.process.stdin.write(json.dumps(cmd) + "\n")
        self.process.stdin.flush()

    def ask(self, **cmd):
        self.send(**cmd)
        return self.read()

    def close(self):
        self.process.stdin.close()
        status = self.process.wait(60)
        err = self.process.stderr.read()
        assert status == 0, err
        return err


@pytest.fixture
def services(postgresql_dsn, tmp_path):
    with psycopg.connect(postgresql_dsn, autocommit=True) as admin:
        admin.execute(SNAPSHOTS_DDL)
        admin.execute("DELETE FROM brindle_snapshots WHERE service_name = 'coherent'")
    started = []

    def start(*names):
        made = [Service(tmp_path, postgresql_dsn, n) for n in names]
        started.extend(made)
        return made

    yield start
    for s in started:
        if s.process.poll() is None:
            s.process.kill()
            s.process.wait()


def terminate_backends(dsn, application_name):
    with psycopg.connect(dsn, autocommit=True) as admin:
        return admin.execute("SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity "
                             "WHERE application_name = %s", (application_name,)).fetchone()[0]


def test_stores_and_invalidations_reach_every_process(services, postgresql_dsn):
    a, b, c = services("a", "b", "c")
    a.ask(op="store", rows=[1, 2, 3], ttl=30)
    assert b.ask(op="wait", rows=[1, 2, 3]) == [1, 2, 3]
    assert c.ask(op="wait", rows=[1, 2, 3]) == [1, 2, 3]
    source, ttl_seconds = b.ask(op="stats")["orders"]
    assert source.startswith("notified by ") and ttl_seconds == 30 * 60  # the store's own time-to-live
    assert a.ask(op="stats")["orders"][0] == "stored here"

    a.ask(op="store", rows=[4])
    assert [p.ask(op="wait", rows=[4]) for p in (b, c)] == [[4], [4]]
    b.ask(op="invalidate")
    assert [p.ask(op="wait", rows=None) for p in (a, c)] == [None, None]

    # A listener whose backend is terminated reconnects and catches up with
    # what was stored while it was away.
    assert terminate_backends(postgresql_dsn, "c") >= 1
    a.ask(op="store", rows=[5, 6])
    assert c.ask(op="wait", rows=[5, 6]) == [5, 6]
    for p in (a, b, c):
        p.close()


def test_a_server_restart_mid_run_loses_nothing(services):
    a, b = services("a", "b")
    a.ask(op="store", rows=[1])
    assert b.ask(op="wait", rows=[1]) == [1]
    restart_postgresql()
    # The connector reconnects for the save, the listener for the news, and
    # what it missed meanwhile it finds in the snapshot table.
    a.ask(op="store", rows=[2, 3])
    assert b.ask(op="wait", rows=[2, 3]) == [2, 3]
    a.ask(op="store", rows=[4])
    assert b.ask(op="wait", rows=[4]) == [4]
    for p in (a, b):
        p.close()


def test_eight_processes_asking_for_one_missing_table_run_the_loader_once(services, tmp_path):
    workers = services(*[f"w{i}" for i in range(8)])
    for w in workers:
        w.send(op="load", table="loaded")
    assert [w.read() for w in workers] == [[7, 8]] * 8
    assert len((tmp_path / "loads.txt").read_text().split()) == 1
    for w in workers:
        w.close()


def test_the_example_connector_outlives_its_backend(postgresql_dsn):
    sys.path.insert(0, EXAMPLES)
    from postgres_connector import PostgresConnector

    with psycopg.connect(postgresql_dsn, autocommit=True) as admin:
        admin.execute(SNAPSHOTS_DDL)
    connector = PostgresConnector(postgresql_dsn + " application_name=restarting", timeout=10)
    key = ("restart", "db", "t")
    for attempt in range(3):
        terminate_backends(postgresql_dsn, "restarting")
        connector.execute("DELETE FROM brindle_snapshots WHERE service_name = %s AND db_name = %s "
                          "AND table_name = %s", key)
        connector.execute("INSERT INTO brindle_snapshots (service_name, db_name, table_name, data, stored_at, "
                          "row_count) VALUES (%s, %s, %s, %s, %s, %s)", key + (b"x", "2026-01-01T00:00:00", attempt))
        connector.execute("SELECT data FROM brindle_snapshots WHERE service_name = %s AND db_name = %s "
                          "AND table_name = %s", key)
        assert connector.fetchone() == (b"x",)
    connector.close()
    with psycopg.connect(postgresql_dsn) as admin:
        assert admin.execute("SELECT row_count FROM brindle_snapshots WHERE service_name = 'restart'").fetchall() \
            == [(2,)]
